"""The C-level side: loading the module, the records, the interface ids, and
calling operations through an object's table of virtual operations.

Nothing here is exported by the module but CreateKelvoCore; every other
operation is reached the way a C++ host reaches it: read the object's first
pointer (its table), take the function at the operation's slot and call it
with the object's own address as the first argument.
"""

import ctypes
import os
import sys
from ctypes import (POINTER, Structure, c_bool, c_char, c_double, c_uint8, c_uint16, c_uint32,
                    c_void_p)
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Type, Union

# The interfaces' calling convention. x86_64 (SysV and Microsoft x64) and
# arm64 have one convention, so CFUNCTYPE fits. 32-bit Windows calls every
# interface operation __stdcall (callee pops), which is WINFUNCTYPE; using
# CFUNCTYPE there would unbalance the stack on the first call.
# CreateKelvoCore itself is plain cdecl everywhere (CDLL, not WinDLL).
FUNCTYPE: Callable[..., Any]
if sys.platform == "win32" and ctypes.sizeof(c_void_p) == 4:
    FUNCTYPE = ctypes.WINFUNCTYPE
else:
    FUNCTYPE = ctypes.CFUNCTYPE


class GUID(Structure):
    _fields_ = [("Data1", c_uint32), ("Data2", c_uint16), ("Data3", c_uint16),
                ("Data4", c_uint8 * 8)]

    @classmethod
    def make(cls, d1: int, d2: int, d3: int, d4: Sequence[int]) -> "GUID":
        return cls(d1, d2, d3, (c_uint8 * 8)(*d4))

    def __eq__(self, other: object) -> bool:
        return isinstance(other, GUID) and bytes(self) == bytes(other)

    __hash__ = None  # type: ignore[assignment]


IID_IImClient = GUID.make(0xA3BC050A, 0xB6DC, 0x4807,
                          (0xB9, 0x1E, 0xB9, 0x03, 0x73, 0x28, 0x9B, 0x83))
IID_IImBase = GUID.make(0x92D87E91, 0x5A5B, 0x4A45,
                        (0x8C, 0xFD, 0x38, 0x2F, 0xE6, 0xB3, 0x2B, 0x0B))
IID_IImClientSink = GUID.make(0x597D8B19, 0x0D30, 0x4700,
                              (0x98, 0xB4, 0xC6, 0xF6, 0x85, 0x9A, 0xB5, 0xC8))
IID_IImClientPump = GUID.make(0x6C1F3E52, 0x2B7D, 0x4F0A,
                              (0x9E, 0x64, 0x0D, 0x5A, 0x8C, 0x17, 0xB3, 0xE9))
IID_IImClientEngine = GUID.make(0x3B0D7C6E, 0x91A4, 0x4E2F,
                                (0x8C, 0x5B, 0x7A, 0x2E, 0x16, 0xD0, 0x9F, 0x41))
IID_IImClientNetwork = GUID.make(0x6F1C2D8A, 0x5B34, 0x4E9D,
                                 (0xA2, 0xC7, 0x0E, 0x8B, 0x3F, 0x5D, 0x7A, 0x19))
IM_INTERFACE_VERSION = 0x01010100
IM_PUMP_INTERFACE_VERSION = 0x01000000
IM_ENGINE_INTERFACE_VERSION = 0x01000000
IM_NETWORK_INTERFACE_VERSION = 0x01000000
KELVO_HOST_NAME_MAX = 253
KELVO_DELIVERY_PUMP = 1


class UserRecord(Structure):
    _fields_ = [("userId", c_uint32), ("relation", c_uint32), ("groupId", c_uint32),
                ("gameServerId", c_uint32), ("gmLevel", c_uint32), ("attr1", c_uint32),
                ("attr2", c_uint32), ("attr3", c_uint8), ("attrFlag", c_uint8),
                ("onlineState", c_uint8), ("name", c_char * 32)]


class GroupRecord(Structure):
    _fields_ = [("groupKind", c_uint32), ("groupId", c_uint32), ("parentGroupId", c_uint32),
                ("groupAttr", c_uint32), ("name", c_char * 64)]


class ServerAddress(Structure):
    _fields_ = [("serverIp", c_uint32), ("serverPort", c_uint16), ("proxyIp", c_uint32),
                ("proxyParam", c_uint32), ("proxyPort", c_uint16)]


class SearchUserResult(Structure):
    _fields_ = [("value1", c_uint32), ("value2", c_uint32), ("value3", c_uint32),
                ("value4", c_uint32)]


# The layouts a host built by any compiler uses (the same numbers the C++
# headers pin with static_asserts). A ctypes build that laid a record out
# differently would hand the module misplaced fields, so refuse to load.
_LAYOUTS: Dict[Type[Structure], Tuple[int, Dict[str, int]]] = {
    GUID: (16, {"Data1": 0, "Data2": 4, "Data3": 6, "Data4": 8}),
    UserRecord: (64, {"userId": 0, "relation": 4, "groupId": 8, "gameServerId": 12,
                      "gmLevel": 16, "attr1": 20, "attr2": 24, "attr3": 28, "attrFlag": 29,
                      "onlineState": 30, "name": 31}),
    GroupRecord: (80, {"groupKind": 0, "groupId": 4, "parentGroupId": 8, "groupAttr": 12,
                       "name": 16}),
    ServerAddress: (20, {"serverIp": 0, "serverPort": 4, "proxyIp": 8, "proxyParam": 12,
                         "proxyPort": 16}),
    SearchUserResult: (16, {"value1": 0, "value2": 4, "value3": 8, "value4": 12}),
}


def check_layouts() -> None:
    for cls, (size, offsets) in _LAYOUTS.items():
        if ctypes.sizeof(cls) != size:
            raise ImportError("kelvo: %s is %d bytes here, the module expects %d"
                              % (cls.__name__, ctypes.sizeof(cls), size))
        for field, offset in offsets.items():
            actual = getattr(cls, field).offset
            if actual != offset:
                raise ImportError("kelvo: %s.%s is at offset %d here, the module expects %d"
                                  % (cls.__name__, field, actual, offset))


check_layouts()

# Operation slots, in table order. The three IImBase operations come first in
# every interface.
SLOT_IS_VALID, SLOT_RELEASE, SLOT_QUERY_INTERFACE = 0, 1, 2

_GUID_P = POINTER(GUID)

# name: (slot, result, argument types after `this`)
OpTable = Dict[str, Tuple[int, Any, Tuple[Any, ...]]]
CLIENT_OPS: OpTable = {
    "IsValid": (0, c_bool, ()),
    "Release": (1, c_bool, ()),
    "QueryInterface": (2, c_void_p, (_GUID_P, c_uint32)),
    "Connect": (3, c_bool, (POINTER(ServerAddress),)),
    "Close": (4, c_bool, ()),
    "Login": (5, c_bool, (c_uint32, c_void_p, c_void_p)),
    "Logout": (6, c_bool, (c_uint32,)),
    "AddUser": (7, c_bool, (c_uint32, c_uint32, c_uint32)),
    "RemoveUser": (8, c_bool, (c_uint32,)),
    "AddGroup": (9, c_bool, (c_uint32, c_uint32, ctypes.c_char_p)),
    "DeleteGroup": (10, c_bool, (c_uint32,)),
    "RenameGroup": (11, c_bool, (c_uint32, ctypes.c_char_p)),
    "MoveUser": (12, c_bool, (c_uint32, c_uint32, c_uint32)),
    "SendChatMessage": (13, c_bool, (c_uint32, c_uint32, ctypes.c_char_p, c_uint8, c_uint8,
                                     c_uint8)),
    "Request_friend": (14, None, (c_uint32,)),
    "ReplyAddRequest": (15, c_bool, (c_uint32, c_uint32, c_bool)),
    "EnterGameServer": (16, c_bool, (c_uint16,)),
    "LeaveGameServer": (17, c_bool, (c_uint16,)),
    "EnumUsers": (18, None, (c_uint32, c_uint32, c_uint32, c_uint16, c_uint8)),
    "EnumAddRequests": (19, None, (c_uint32,)),
    "EnumGroups": (20, None, (c_uint32, c_uint32)),
    "GetUser": (21, c_bool, (c_uint32, POINTER(UserRecord))),
    "GetAddRequest": (22, c_bool, (c_uint32, POINTER(UserRecord))),
    "GetGroup": (23, c_bool, (c_uint32, POINTER(GroupRecord))),
    "GetMyInfo": (24, POINTER(UserRecord), ()),
    "IsGm": (25, c_bool, ()),
    "SetSink": (26, c_bool, (c_void_p,)),
    "SearchUser": (27, c_bool, (c_uint32, c_uint32, ctypes.c_char_p)),
}
assert len(CLIENT_OPS) == 28

PUMP_OPS: OpTable = {
    "SetDeliveryMode": (3, c_bool, (c_uint32,)),
    "GetDeliveryMode": (4, c_uint32, ()),
    "Pump": (5, c_uint32, (c_uint32,)),
    "PendingEvents": (6, c_uint32, ()),
    "WaitForEvents": (7, c_bool, (c_uint32,)),
}

ENGINE_OPS: OpTable = {
    "UseSharedLoop": (3, c_bool, (c_uint32,)),
    "SetSharedLoopThreads": (4, c_bool, (c_uint32,)),
    "PumpSharedLoop": (5, c_uint32, (c_uint32,)),
    "WaitSharedLoop": (6, c_bool, (c_uint32,)),
    "SharedLoopWaitHandle": (7, ctypes.c_int64, ()),
}

NETWORK_OPS: OpTable = {
    "ConnectTo": (3, c_bool, (ctypes.c_char_p, c_uint16)),
    "SetProxy": (4, c_bool, (ctypes.c_char_p, c_uint16)),
    "SetReconnect": (5, c_bool, (c_void_p,)),
    "GetLoginState": (6, c_uint32, ()),
}

_U8, _U32, _CSTR = c_uint8, c_uint32, c_void_p
_USER_P, _GROUP_P = POINTER(UserRecord), POINTER(GroupRecord)

# The sink's 29 operations: (name, result, argument types after `this`).
# Texts arrive as plain addresses (read with string_at) so that a text is
# never touched by ctypes' own conversions before our handler decides.
SINK_OPS: List[Tuple[str, Any, Tuple[Any, ...]]] = [
    ("IsValid", c_bool, ()),
    ("Release", c_bool, ()),
    ("QueryInterface", c_void_p, (_GUID_P, _U32)),
    ("OnConnect", None, (_U32,)),
    ("OnClose", None, (_U32,)),
    ("OnServerInfo", None, ()),
    ("OnLoginResult", None, (_U32, _CSTR)),
    ("OnLogout", None, ()),
    ("OnAddUserResult", None, (_U32, _USER_P)),
    ("OnRemoveUserResult", None, (_U32, _U32)),
    ("OnAddGroupResult", None, (_U32, _GROUP_P)),
    ("OnDeleteGroupResult", None, (_U32, _U32)),
    ("OnUpdateGroupResult", None, (_U32, _U32)),
    ("OnMoveUserResult", None, (_U32, _U32)),
    ("OnChatMessage", None, (_U8, _U32, _CSTR, _U8, _U8, _U8)),
    ("OnChatMessageEx", None, (_U8, _U32, c_double, _CSTR, _U8, _U8, _U8)),
    ("OnOfflineMessage", None, (_U8, _U32, c_double, _CSTR, _U8, _U8, _U8, c_void_p, _U32)),
    ("OnAddUserRequest", None, (_U32,)),
    ("OnAddUserReply", None, (_U32, _USER_P)),
    ("OnOnlineStateChanged", None, (_U32,)),
    ("OnUserEnterGameServer", None, (_U32,)),
    ("OnUserLeaveGameServer", None, (_U32,)),
    ("OnLog", None, (_CSTR,)),
    ("OnSearchUserResult", None, (POINTER(SearchUserResult),)),
    ("OnSearchUserListItem", None, (_USER_P,)),
    ("OnSearchUserListEnd", None, (_U32,)),
    ("OnEnumUser", c_bool, (_U32, _USER_P)),
    ("OnEnumAddRequest", c_bool, (_U32, _USER_P)),
    ("OnEnumGroup", c_bool, (_U32, _GROUP_P)),
]
assert len(SINK_OPS) == 29


class SinkObject(Structure):
    """What the module sees as the host's IImClientSink: one pointer, to the
    table of operations."""
    _fields_ = [("vtable", POINTER(c_void_p))]


_INT_LIMITS: Dict[Any, int] = {c_uint8: 0xFF, c_uint16: 0xFFFF, c_uint32: 0xFFFFFFFF}


class Bound:
    """One operation of one object, callable without `this`."""
    __slots__ = ("name", "fn", "obj", "limits")

    def __init__(self, name: str, fn: Callable[..., Any], obj: int,
                 limits: Tuple[Optional[int], ...]) -> None:
        self.name, self.fn, self.obj, self.limits = name, fn, obj, limits

    def __call__(self, *args: Any) -> Any:
        # ctypes would wrap an out-of-range integer silently (a user id of -1,
        # a game server of 65537 becoming 1); refuse it instead.
        for value, limit in zip(args, self.limits):
            if limit is not None and not 0 <= value <= limit:
                raise OverflowError("%s: %r does not fit in 0..%d" % (self.name, value, limit))
        return self.fn(self.obj, *args)


def bind(obj: int, ops: OpTable) -> Dict[str, Bound]:
    """Returns {name: callable without `this`} for the operations `ops` of the
    interface at address `obj`."""
    table = ctypes.cast(obj, POINTER(POINTER(c_void_p)))[0]
    bound = {}
    for name, (slot, restype, argtypes) in ops.items():
        proto = FUNCTYPE(restype, c_void_p, *argtypes)
        limits = tuple(_INT_LIMITS.get(t) for t in argtypes)
        bound[name] = Bound(name, proto(table[slot]), obj, limits)
    return bound


def _module_names() -> List[str]:
    if sys.platform == "win32":
        return ["kelvocore.dll"]
    if sys.platform == "darwin":
        return ["libkelvocore.dylib"]
    return ["libkelvocore.so", "libkelvocore.so.1"]


def find_module(path: Union[str, "os.PathLike[str]", None] = None) -> str:
    """The module to load: `path` when given, else $KELVO_MODULE, else the
    first library found in the package's directory or the one above it."""
    if path:
        return os.fspath(path)
    env = os.environ.get("KELVO_MODULE")
    if env:
        return env
    here = os.path.dirname(os.path.abspath(__file__))
    for directory in (here, os.path.dirname(here)):
        for name in _module_names():
            candidate = os.path.join(directory, name)
            if os.path.isfile(candidate):
                return candidate
    raise OSError("kelvo: no %s next to the package (%s) and KELVO_MODULE is not set"
                  % (" or ".join(_module_names()), here))


CreateFn = Callable[..., Optional[int]]
_loaded: Dict[str, CreateFn] = {}


def load_module(path: Union[str, "os.PathLike[str]", None] = None) -> CreateFn:
    """Loads the module once per path and returns its CreateKelvoCore."""
    where = os.path.abspath(find_module(path))
    create = _loaded.get(where)
    if create is None:
        lib = ctypes.CDLL(where)
        export = lib.CreateKelvoCore
        export.restype = c_void_p
        export.argtypes = [_GUID_P, c_uint32]
        # The library object stays referenced through the function, so the
        # module is never unloaded under a live client.
        _loaded[where] = create = export
    return create
