"""Records and events as plain Python objects.

Everything the module hands over by address is copied into these before a
handler sees it: the module's records are valid only during the callback.
Texts are decoded from GBK; bytes GBK cannot map become U+FFFD rather than
an error inside a callback.
"""

from dataclasses import dataclass
from typing import Optional

ENCODING = "gbk"


def decode(raw: Optional[bytes]) -> str:
    if not raw:
        return ""
    return raw.split(b"\0", 1)[0].decode(ENCODING, errors="replace")


@dataclass(frozen=True)
class User:
    user_id: int
    relation: int
    group_id: int
    game_server_id: int
    gm_level: int
    attr1: int
    attr2: int
    attr3: int
    attr_flag: int
    online_state: int  # as the server sends it; 1 = offline
    name: str

    @property
    def online(self) -> bool:
        return self.online_state not in (0, 1)

    @classmethod
    def from_record(cls, r) -> "User":
        return cls(r.userId, r.relation, r.groupId, r.gameServerId, r.gmLevel, r.attr1,
                   r.attr2, r.attr3, r.attrFlag, r.onlineState, decode(bytes(r.name)))


@dataclass(frozen=True)
class Group:
    group_kind: int
    group_id: int
    parent_group_id: int
    group_attr: int
    name: str

    @classmethod
    def from_record(cls, r) -> "Group":
        return cls(r.groupKind, r.groupId, r.parentGroupId, r.groupAttr, decode(bytes(r.name)))


@dataclass(frozen=True)
class SearchResult:
    value1: int
    value2: int
    value3: int
    value4: int


class Event:
    """Base of every event; subscribe to it to see them all."""


@dataclass(frozen=True)
class Connected(Event):
    ok: bool  # False: refused, unreachable, proxy failure or timeout


@dataclass(frozen=True)
class Closed(Event):
    reason: int


@dataclass(frozen=True)
class ServerInfo(Event):
    pass


@dataclass(frozen=True)
class LoginResult(Event):
    result: int  # 1 success, 0 refused
    text: str    # the server's reason when refused

    @property
    def ok(self) -> bool:
        return self.result == 1


@dataclass(frozen=True)
class LoggedOut(Event):
    """Forced logout (the account logged in elsewhere, or the operator)."""


@dataclass(frozen=True)
class AddUserResult(Event):
    result: int
    user: Optional[User]


@dataclass(frozen=True)
class RemoveUserResult(Event):
    result: int
    user_id: int


@dataclass(frozen=True)
class AddGroupResult(Event):
    result: int
    group: Optional[Group]


@dataclass(frozen=True)
class DeleteGroupResult(Event):
    result: int
    group_id: int


@dataclass(frozen=True)
class UpdateGroupResult(Event):
    result: int
    group_id: int


@dataclass(frozen=True)
class MoveUserResult(Event):
    result: int
    user_id: int


@dataclass(frozen=True)
class ChatMessage(Event):
    kind: int  # 0 chat, 1-13 server notices
    sender: int
    text: str
    value1: int = 0
    value2: int = 0
    value3: int = 0
    value: Optional[float] = None  # the double of the extended form


@dataclass(frozen=True)
class OfflineMessage(Event):
    kind: int
    sender: int
    value: float
    text: str
    value1: int
    value2: int
    value3: int
    block: bytes  # the 38 uninterpreted bytes
    extra: int


@dataclass(frozen=True)
class AddUserRequest(Event):
    user_id: int  # read the asker with Client.get_add_request


@dataclass(frozen=True)
class AddUserReply(Event):
    result: int
    user: Optional[User]


@dataclass(frozen=True)
class OnlineStateChanged(Event):
    user_id: int


@dataclass(frozen=True)
class UserEnteredGameServer(Event):
    user_id: int


@dataclass(frozen=True)
class UserLeftGameServer(Event):
    user_id: int


@dataclass(frozen=True)
class Log(Event):
    text: str


@dataclass(frozen=True)
class SearchUserResult(Event):
    result: SearchResult


@dataclass(frozen=True)
class SearchUserListItem(Event):
    user: User


@dataclass(frozen=True)
class SearchUserListEnd(Event):
    count: int


@dataclass(frozen=True)
class HandlerError(Event):
    """A handler raised; the exception was caught at the native boundary."""
    event: Optional[Event]
    error: BaseException
