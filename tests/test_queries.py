"""The four query functions over the tick and bar histories."""
import collections

import pytest


def fill(tl, store, code, items, maxlen=None):
    history = collections.deque(maxlen=maxlen)
    history.extend(items)
    getattr(tl, store)[code] = history
    return history


@pytest.fixture(params=[("history_tick", "get_current_tick", "history_ticks"),
                        ("history_bar", "get_current_bar", "history_bars")])
def store(request, tl):
    name, current, history = request.param
    return name, getattr(tl, current), getattr(tl, history)


def test_unknown_instrument_gives_none_never_an_empty_list(tl, store):
    name, current, history = store
    assert current("000001.XSHE") is None
    assert history("000001.XSHE", 5) is None
    assert history("000001.XSHE", 0) is None


def test_current_is_the_very_last_object(tl, store):
    name, current, history = store
    items = [{"n": i} for i in range(3)]
    fill(tl, name, "A", items)
    assert current("A") is items[-1]
    assert history("A", 1)[0] is items[-1]


@pytest.mark.parametrize("count, expected", [
    (1, [4]), (3, [2, 3, 4]), (5, [0, 1, 2, 3, 4]), (100, [0, 1, 2, 3, 4]),
    (0, [0, 1, 2, 3, 4]), (-2, [2, 3, 4]), (-5, []), (-7, []), (True, [4]), (False, [0, 1, 2, 3, 4]),
    (10**30, [0, 1, 2, 3, 4]), (-10**30, []),
    (2**63 - 1, [0, 1, 2, 3, 4]), (-2**63 + 1, []), (-2**63, []), (2**63, [0, 1, 2, 3, 4]),
])
def test_history_count_rules(tl, store, count, expected):
    name, current, history = store
    fill(tl, name, "A", range(5))
    assert history("A", count) == expected


class Index:
    def __init__(self, value):
        self.value = value

    def __mul__(self, other):
        return Index(self.value * other)

    def __index__(self):
        return self.value


@pytest.mark.parametrize("count", [2.0, "2", None, [1], 1.5])
def test_non_integer_count_is_a_type_error(tl, store, count):
    name, current, history = store
    fill(tl, name, "A", range(5))
    with pytest.raises(TypeError):
        history("A", count)


def test_count_is_multiplied_by_minus_one_then_used_as_index(tl, store):
    name, current, history = store
    fill(tl, name, "A", range(5))
    assert history("A", Index(2)) == [3, 4]

    class Count(int):  # an int subclass is multiplied as written, never negated directly
        def __mul__(self, other):
            return 1
    assert history("A", Count(3)) == [1, 2, 3, 4]


def test_returned_lists_are_new_but_share_the_elements(tl):
    ticks = [{"i": i} for i in range(3)]
    history = fill(tl, "history_tick", "A", ticks, maxlen=60)
    got = tl.history_ticks("A", 0)
    got.append("x")
    got[0]["seen"] = True
    assert len(history) == 3 and ticks[0]["seen"]


def test_sixty_deep_history_keeps_the_latest(tl):
    fill(tl, "history_tick", "A", range(61), maxlen=60)
    got = tl.history_ticks("A", 100)
    assert len(got) == 60 and got[0] == 1


def test_unhashable_code_is_a_type_error(tl, store):
    name, current, history = store
    with pytest.raises(TypeError):
        current(["A"])


def test_store_is_read_at_each_call(tl, monkeypatch):
    monkeypatch.setattr(tl, "history_bar", {"A": collections.deque(["new"])})
    assert tl.get_current_bar("A") == "new"
    monkeypatch.delattr(tl, "history_bar")
    with pytest.raises(NameError, match="name 'history_bar' is not defined"):
        tl.history_bars("A", 1)
