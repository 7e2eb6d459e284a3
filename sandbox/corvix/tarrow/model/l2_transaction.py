"""Host level-2 (tick-by-tick) transaction."""


class L2Transaction:
    __slots__ = ("biz_index", "market_code", "datetime", "side", "price", "volume", "value",
                 "trade_type", "bid_appl_seq_num", "offer_appl_seq_num")

    @classmethod
    def __from_create__(cls, biz_index, market_code, datetime, side, price, volume, value,
                        trade_type, bid_appl_seq_num, offer_appl_seq_num):
        obj = cls.__new__(cls)
        obj.biz_index = biz_index
        obj.market_code = market_code
        obj.datetime = datetime
        obj.side = side
        obj.price = price
        obj.volume = volume
        obj.value = value
        obj.trade_type = trade_type
        obj.bid_appl_seq_num = bid_appl_seq_num
        obj.offer_appl_seq_num = offer_appl_seq_num
        return obj

    def __repr__(self):
        return (f"L2Transaction({self.market_code!r}, {self.datetime!r}, biz_index={self.biz_index!r}, "
                f"side={self.side!r}, price={self.price!r}, volume={self.volume!r}, "
                f"trade_type={self.trade_type!r})")
