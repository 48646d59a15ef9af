import pytest

import zentrova


def _panic_type() -> type[BaseException]:
    try:
        zentrova.QuantumRegister(60)
    except BaseException as e:  # noqa: BLE001 - the type is what we want
        return type(e)
    raise AssertionError("QuantumRegister(60) was not refused")


PanicException = _panic_type()


@pytest.fixture
def panic() -> type[BaseException]:
    return PanicException
