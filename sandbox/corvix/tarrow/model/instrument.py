"""Instruments known to the host."""
from corvix.tarrow.const import ACCOUNT_TYPE


class Instrument:
    """One tradable instrument, identified by its code "SYMBOL.EXCHANGE" ("000001.XSHE")."""

    __slots__ = ("market_code", "symbol", "exchange", "name", "account_type", "round_lot")

    def __init__(self, market_code, name=None, account_type=ACCOUNT_TYPE.STOCK, round_lot=100):
        symbol, dot, exchange = market_code.partition(".")
        if not dot or not symbol or not exchange:
            raise ValueError(f"instrument code must look like 'SYMBOL.EXCHANGE', got {market_code!r}")
        self.market_code = market_code
        self.symbol = symbol
        self.exchange = exchange
        self.name = name if name is not None else market_code
        self.account_type = account_type
        self.round_lot = round_lot

    def __eq__(self, other):
        if not isinstance(other, Instrument):
            return NotImplemented
        return self.market_code == other.market_code

    def __hash__(self):
        return hash(self.market_code)

    def __repr__(self):
        return f"Instrument({self.market_code!r})"
