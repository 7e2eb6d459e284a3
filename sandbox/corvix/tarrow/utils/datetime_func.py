"""Conversions of the gateway's numeric time stamps.

The gateway stamps are integers YYYYMMDDHHMMSSmmm (17 digits).  The bridge
hands us ``stamp / 1000``: a float YYYYMMDDHHMMSS.mmm.  At this magnitude
(about 2e13) a double only resolves 1/256 s, so the milliseconds of such a
float are within 2 ms of the gateway's value and the float may even have been
rounded up to the next second (…59.999 becomes …60.0).  We round to the
nearest millisecond and carry a seconds field of 60 into the next minute.
"""
import math
import numbers
from datetime import datetime, timedelta

_SECOND_STAMP_MIN = 10 ** 13          # 14 digits: YYYYMMDDHHMMSS
_SECOND_STAMP_END = 10 ** 14
_MILLI_STAMP_MIN = 10 ** 16           # 17 digits: YYYYMMDDHHMMSSmmm
_MILLI_STAMP_END = 10 ** 17
_DATE_MIN = 10 ** 7                   # 8 digits: YYYYMMDD
_DATE_END = 10 ** 8


def _fields_to_datetime(seconds_stamp, value, allow_leap_carry):
    """Datetime of an int YYYYMMDDHHMMSS; ``value`` is only used in messages."""
    rest, second = divmod(seconds_stamp, 100)
    rest, minute = divmod(rest, 100)
    rest, hour = divmod(rest, 100)
    rest, day = divmod(rest, 100)
    year, month = divmod(rest, 100)
    carry = 0
    if second == 60 and allow_leap_carry:
        second, carry = 59, 1
    try:
        dt = datetime(year, month, day, hour, minute, second)
    except ValueError as exc:
        raise ValueError(f"{value!r} is not a valid YYYYMMDDHHMMSS time stamp: {exc}") from None
    return dt + timedelta(seconds=carry) if carry else dt


def convert_int_to_datetime(value):
    """Datetime of a gateway time stamp, milliseconds kept.

    Accepts a float YYYYMMDDHHMMSS.mmm (a gateway stamp divided by 1000), an int
    YYYYMMDDHHMMSS, or an int YYYYMMDDHHMMSSmmm.  Anything else that is a number
    raises ValueError; a non-number raises TypeError.
    """
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"time stamp must be a number, got {type(value).__name__}: {value!r}")
    if isinstance(value, numbers.Integral):
        stamp = int(value)
        if _SECOND_STAMP_MIN <= stamp < _SECOND_STAMP_END:
            return _fields_to_datetime(stamp, value, allow_leap_carry=False)
        if _MILLI_STAMP_MIN <= stamp < _MILLI_STAMP_END:
            seconds_stamp, millis = divmod(stamp, 1000)
            dt = _fields_to_datetime(seconds_stamp, value, allow_leap_carry=False)
            return dt.replace(microsecond=millis * 1000)
        raise ValueError(
            f"{value!r} is not a time stamp: expected YYYYMMDDHHMMSS (14 digits) "
            f"or YYYYMMDDHHMMSSmmm (17 digits)")
    value_f = float(value)
    if not math.isfinite(value_f) or not (_SECOND_STAMP_MIN <= value_f < _SECOND_STAMP_END):
        raise ValueError(
            f"{value!r} is not a time stamp: expected a float YYYYMMDDHHMMSS.mmm "
            f"(a gateway stamp divided by 1000)")
    whole = math.floor(value_f)
    millis = round((value_f - whole) * 1000)   # the subtraction is exact for a double
    if millis == 1000:
        whole, millis = whole + 1, 0
    dt = _fields_to_datetime(whole, value, allow_leap_carry=True)
    return dt.replace(microsecond=millis * 1000)


def convert_int_to_whole_date(value):
    """Datetime of an int YYYYMMDDHHMMSS (whole seconds), or of an int YYYYMMDD (midnight).

    Only integers are accepted (TypeError otherwise): callers truncate float
    stamps themselves.
    """
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"whole-date stamp must be an int, got {type(value).__name__}: {value!r}")
    stamp = int(value)
    if _SECOND_STAMP_MIN <= stamp < _SECOND_STAMP_END:
        return _fields_to_datetime(stamp, value, allow_leap_carry=False)
    if _DATE_MIN <= stamp < _DATE_END:
        return _fields_to_datetime(stamp * 1000000, value, allow_leap_carry=False)
    raise ValueError(f"{value!r} is not a time stamp: expected YYYYMMDDHHMMSS (14 digits) or YYYYMMDD")


def convert_stamp_or_none(stamp):
    """Datetime of an int gateway stamp YYYYMMDDHHMMSSmmm; ``None`` for 0 or ``None`` (unset)."""
    if stamp is None or stamp == 0:
        return None
    return convert_int_to_datetime(stamp)


def convert_datetime_to_stamp(dt):
    """Gateway stamp YYYYMMDDHHMMSSmmm of a datetime (sub-millisecond part dropped)."""
    return (((((dt.year * 100 + dt.month) * 100 + dt.day) * 100 + dt.hour) * 100
             + dt.minute) * 100 + dt.second) * 1000 + dt.microsecond // 1000
