"""Host position of one instrument in one direction."""
from corvix.tarrow.const import POSITION_DIRECTION


class Position:
    """``Position(market_code, direction, init_qty)``, then ``set_state({...})`` with the
    keys of ``STATE_KEYS``; an unknown key is an error, a missing one keeps its value."""

    STATE_KEYS = ("quantity", "available_qty", "avg_price", "last_price", "market_value", "daily_pnl")
    __slots__ = ("market_code", "direction", "init_qty") + STATE_KEYS

    def __init__(self, market_code, direction, init_qty):
        if not isinstance(direction, POSITION_DIRECTION):
            raise TypeError(f"direction must be a POSITION_DIRECTION member, got {direction!r}")
        self.market_code = market_code
        self.direction = direction
        self.init_qty = init_qty
        self.quantity = init_qty
        self.available_qty = init_qty
        self.avg_price = 0.0
        self.last_price = 0.0
        self.market_value = 0.0
        self.daily_pnl = 0.0

    def set_state(self, state):
        unknown = set(state) - set(self.STATE_KEYS)
        if unknown:
            raise KeyError(f"unknown position state key(s): {sorted(unknown)}")
        for key, value in state.items():
            setattr(self, key, value)

    def get_state(self):
        return {key: getattr(self, key) for key in self.STATE_KEYS}

    def __repr__(self):
        return (f"Position({self.market_code!r}, {self.direction!r}, quantity={self.quantity!r}, "
                f"available_qty={self.available_qty!r}, avg_price={self.avg_price!r})")
