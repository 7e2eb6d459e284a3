"""Host level-2 (tick-by-tick) order."""


class L2Order:
    __slots__ = ("biz_index", "market_code", "datetime", "side", "price", "volume",
                 "order_type", "orig_order_no", "l2_order_type")

    @classmethod
    def __from_create__(cls, biz_index, market_code, datetime, side, price, volume,
                        order_type, orig_order_no, l2_order_type):
        obj = cls.__new__(cls)
        obj.biz_index = biz_index
        obj.market_code = market_code
        obj.datetime = datetime
        obj.side = side
        obj.price = price
        obj.volume = volume
        obj.order_type = order_type
        obj.orig_order_no = orig_order_no
        obj.l2_order_type = l2_order_type
        return obj

    def __repr__(self):
        return (f"L2Order({self.market_code!r}, {self.datetime!r}, biz_index={self.biz_index!r}, "
                f"side={self.side!r}, price={self.price!r}, volume={self.volume!r}, "
                f"order_type={self.order_type!r}, l2_order_type={self.l2_order_type!r})")
