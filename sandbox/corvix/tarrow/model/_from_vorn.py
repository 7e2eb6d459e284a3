"""Shared plumbing of the host objects that the bridge rebuilds from algo-gateway records."""
from corvix.tarrow.utils.datetime_func import convert_stamp_or_none
from corvix.tarrow.utils.trade_func import get_exchane_from_vorn_mdtype


def market_code_of(record):
    return record.security_id + "." + get_exchane_from_vorn_mdtype(record.market_type)


class FromVornModel:
    """Base of ``AlgoParentOrder``, ``AlgoChildOrder`` and ``AlgoChildTrade``.

    ``from_vorn(record, existing)`` updates ``existing`` in place and returns it,
    or builds a new object when ``existing`` is None.  ``update_count`` counts
    the records applied to the object.
    """

    __slots__ = ("update_count",)
    _id_attr = None          # host attribute holding the record's sys_quote_id

    def __init__(self, sys_quote_id):
        setattr(self, self._id_attr, sys_quote_id)
        self.update_count = 0

    @classmethod
    def from_vorn(cls, record, existing):
        if existing is None:
            obj = cls(record.sys_quote_id)
        elif not isinstance(existing, cls):
            raise TypeError(f"{cls.__name__}.from_vorn: existing object is a {type(existing).__name__}")
        elif getattr(existing, cls._id_attr) != record.sys_quote_id:
            raise ValueError(f"{cls.__name__}.from_vorn: record {record.sys_quote_id!r} does not belong "
                             f"to the object of {getattr(existing, cls._id_attr)!r}")
        else:
            obj = existing
        obj._apply(record)
        obj.update_count += 1
        return obj

    def _apply(self, record):
        raise NotImplementedError

    @staticmethod
    def _time(stamp):
        return convert_stamp_or_none(stamp)

    def __repr__(self):
        fields = ", ".join(f"{name}={getattr(self, name, None)!r}" for name in self._repr_fields)
        return f"{type(self).__name__}({fields})"
