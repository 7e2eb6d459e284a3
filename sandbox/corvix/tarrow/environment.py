"""The host's process-wide environment.

``Environment.get_instance()`` returns the current environment, creating an
empty default one (empty universe, one stock account "SANDBOX") on first use.
Tests and simulators install their own with ``Environment.reset(...)``:

    env = Environment.reset(
        universe=["000001.XSHE", "600000.XSHG"],     # codes (or Instrument objects)
        accounts=Account("1001"),                     # an Account, several, or {ACCOUNT_TYPE: Account}
        instruments=["510300.XSHG"],                  # further known instruments outside the universe
        config=my_config,                             # optional, kept as env.config
    )

``env.data_proxy.instruments(code)`` returns the ``Instrument`` of a known code
and ``None`` for any other; every universe code is known.  ``env.get_universe()``
returns a new list of the universe codes.  ``env.get_account(code)`` returns
the account of the instrument's account type (stock for unknown codes) and
raises KeyError when there is no such account.
"""
import threading
from collections.abc import Mapping

from corvix.tarrow.const import ACCOUNT_TYPE
from corvix.tarrow.model.instrument import Instrument
from corvix.tarrow.portfolio.account import Account


def _as_instrument(item):
    return item if isinstance(item, Instrument) else Instrument(item)


class DataProxy:
    """Instrument reference data."""

    def __init__(self, instruments=()):
        self._instruments = {}
        for item in instruments:
            self.add_instrument(item)

    def add_instrument(self, item):
        """Register an ``Instrument`` (or a code, for a default stock instrument); returns it."""
        instrument = _as_instrument(item)
        self._instruments[instrument.market_code] = instrument
        return instrument

    def instruments(self, market_code):
        """``Instrument`` of a code, or ``None`` when unknown; a list of codes gives a list of the known ones."""
        if isinstance(market_code, str):
            return self._instruments.get(market_code)
        found = (self._instruments.get(code) for code in market_code)
        return [instrument for instrument in found if instrument is not None]

    def all_instruments(self):
        return list(self._instruments.values())


class Environment:
    _instance = None
    _instance_lock = threading.Lock()

    def __init__(self, universe=(), accounts=None, instruments=(), config=None):
        universe = [_as_instrument(item) for item in universe]
        self.data_proxy = DataProxy(list(instruments) + universe)
        self._universe = [instrument.market_code for instrument in universe]
        self._accounts = {}
        if accounts is None:
            accounts = Account("SANDBOX")
        if isinstance(accounts, Account):
            accounts = [accounts]
        if isinstance(accounts, Mapping):
            self._accounts.update(accounts)
        else:
            for account in accounts:
                self.add_account(account)
        self.config = config

    # ------------------------------------------------------------ singleton

    @classmethod
    def get_instance(cls):
        with cls._instance_lock:
            if cls._instance is None:
                cls._instance = cls()
            return cls._instance

    @classmethod
    def set_instance(cls, env):
        with cls._instance_lock:
            cls._instance = env
        return env

    @classmethod
    def reset(cls, universe=(), accounts=None, instruments=(), config=None):
        """Install and return a new environment (see the module docstring)."""
        return cls.set_instance(cls(universe=universe, accounts=accounts, instruments=instruments,
                                    config=config))

    # ------------------------------------------------------------ universe

    def get_universe(self):
        return list(self._universe)

    def set_universe(self, universe):
        """Replace the universe; its codes become known instruments."""
        codes = []
        for item in universe:
            if isinstance(item, str) and self.data_proxy.instruments(item) is not None:
                codes.append(item)
            else:
                codes.append(self.data_proxy.add_instrument(item).market_code)
        self._universe = codes

    # ------------------------------------------------------------ accounts

    def add_account(self, account):
        self._accounts[account.account_type] = account
        return account

    def get_account(self, market_code):
        instrument = self.data_proxy.instruments(market_code)
        account_type = instrument.account_type if instrument is not None else ACCOUNT_TYPE.STOCK
        try:
            return self._accounts[account_type]
        except KeyError:
            raise KeyError(f"no {account_type!r} account for {market_code!r}") from None

    @property
    def accounts(self):
        return dict(self._accounts)
