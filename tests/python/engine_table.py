"""zentrova's engine table as a test sees it: the capsule in the interpreter's
dictionary (out of Python's reach but for ctypes) and the fields that
engine_api.h keeps first."""

import ctypes

NAME = b"zentrova._engine_api"
_api = ctypes.pythonapi
_api.PyInterpreterState_Get.restype = ctypes.c_void_p
_api.PyInterpreterState_GetDict.argtypes = [ctypes.c_void_p]
_api.PyInterpreterState_GetDict.restype = ctypes.py_object
_api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_api.PyCapsule_GetPointer.restype = ctypes.c_void_p
_api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_api.PyCapsule_New.restype = ctypes.py_object


class Head(ctypes.Structure):
    _fields_ = [("abi_version", ctypes.c_uint32), ("size", ctypes.c_uint32),
                ("kernel_set", ctypes.PYFUNCTYPE(ctypes.c_char_p))]


def shared() -> dict:
    return _api.PyInterpreterState_GetDict(_api.PyInterpreterState_Get())


def head(capsule) -> Head:
    return Head.from_address(_api.PyCapsule_GetPointer(capsule, NAME))


def fake_capsule(abi_version: int, size: int):
    """A capsule of the right name over a table that is only a head; the head
    is kept alive by the capsule's caller holding the pair."""
    fake = Head(abi_version, size)
    return _api.PyCapsule_New(ctypes.addressof(fake), NAME, None), fake
