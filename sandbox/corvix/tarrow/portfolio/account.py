"""Host cash account and the asset figures the gateway reports for it."""
from dataclasses import dataclass

from corvix.tarrow.const import ACCOUNT_TYPE, POSITION_DIRECTION


@dataclass(slots=True)
class Asset:
    """Asset figures of one fund account, in the gateway's order:
    ``Asset(account_id, available, frozen, market_value, total_asset, leaves_value, init_leaves_value)``."""
    account_id: object
    available: float
    frozen: float
    market_value: float
    total_asset: float
    leaves_value: float
    init_leaves_value: float


class Account:
    """One host account: its latest asset figures and its positions."""

    def __init__(self, account_id, account_type=ACCOUNT_TYPE.STOCK, cash=0.0):
        self.account_id = account_id
        self.account_type = account_type
        self.cash = cash
        self.frozen_cash = 0.0
        self.market_value = 0.0
        self.total_value = cash
        self.asset = None
        self._positions = {}

    def apply_asset(self, asset):
        """Take over the figures of an ``Asset`` from an asset query."""
        self.asset = asset
        self.cash = asset.available
        self.frozen_cash = asset.frozen
        self.market_value = asset.market_value
        self.total_value = asset.total_asset

    def apply_positions(self, positions):
        """Replace the positions by those of a position query."""
        self._positions = {(p.market_code, p.direction): p for p in positions}

    def get_position(self, market_code, direction=POSITION_DIRECTION.LONG):
        return self._positions.get((market_code, direction))

    @property
    def positions(self):
        return list(self._positions.values())

    def __repr__(self):
        return (f"Account({self.account_id!r}, {self.account_type!r}, cash={self.cash!r}, "
                f"total_value={self.total_value!r})")
