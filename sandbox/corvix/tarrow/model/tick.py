"""Host tick object: an instrument plus the tick dictionary built from one snapshot."""


class TickObject:
    """Wraps ``tick_dict`` without copying it: changes to the dict show here and vice versa."""

    __slots__ = ("_instrument", "_tick_dict")

    def __init__(self, instrument, tick_dict):
        self._instrument = instrument
        self._tick_dict = tick_dict

    instrument = property(lambda self: self._instrument)
    tick_dict = property(lambda self: self._tick_dict)

    def _get(key):
        return property(lambda self: self._tick_dict.get(key), doc=f"tick_dict[{key!r}]")

    market_code = _get("market_code")
    datetime = _get("datetime")
    open = _get("open_price")
    close = _get("close_price")
    high = _get("high_price")
    low = _get("low_price")
    last = _get("last_price")
    last_price = _get("last_price")
    prev_close = _get("prev_close")
    volume = _get("volume")
    total_turnover = _get("total_turnover")
    asks = _get("asks")
    ask_vols = _get("ask_vols")
    bids = _get("bids")
    bid_vols = _get("bid_vols")
    limit_up = _get("high_limited")
    limit_down = _get("low_limited")
    open_interest = _get("open_interest")
    prev_settlement = _get("prev_settlement")
    iopv = _get("iopv")
    trading_phase_code = _get("trading_phase_code")
    del _get

    def __repr__(self):
        return (f"TickObject({self.market_code!r}, {self.datetime!r}, last={self.last!r}, "
                f"volume={self.volume!r})")
