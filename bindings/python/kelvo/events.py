"""Records and events as plain Python objects.

Everything the module hands over by address is copied into these before a
handler sees it: the module's records are valid only during the callback.
Texts are decoded from GBK; bytes GBK cannot map become U+FFFD rather than
an error inside a callback.
"""

from dataclasses import dataclass
from typing import Any, Optional

from .codes import (AddGroupCode, AddUserCode, AddUserReplyCode, ConnectResult, DeleteGroupCode,
                    GroupKind, LoginCode, MessageKind, MoveUserCode, OnlineState, Relation,
                    RemoveUserCode, UpdateGroupCode)

ENCODING = "gbk"


def decode(raw: Optional[bytes]) -> str:
    if not raw:
        return ""
    return raw.split(b"\0", 1)[0].decode(ENCODING, errors="replace")


@dataclass(frozen=True)
class User:
    """A copy of one user record: a friend, a pending request, a search
    result or the own user."""
    user_id: int
    relation: Relation
    group_id: int  #: the group the user is filed under
    game_server_id: int  #: 0 = none
    gm_level: int  #: nonzero for a game master
    attr1: int  #: profile values, uninterpreted
    attr2: int
    attr3: int
    attr_flag: int
    online_state: OnlineState  #: as the server sends it; OFFLINE is 1
    name: str

    @property
    def online(self) -> bool:
        return self.online_state not in (OnlineState.ANY, OnlineState.OFFLINE)

    @classmethod
    def from_record(cls, r: Any) -> "User":
        return cls(int(r.userId), Relation(r.relation), int(r.groupId), int(r.gameServerId),
                   int(r.gmLevel), int(r.attr1), int(r.attr2), int(r.attr3), int(r.attrFlag),
                   OnlineState(r.onlineState), decode(bytes(r.name)))


@dataclass(frozen=True)
class Group:
    """A copy of one group record."""
    group_kind: GroupKind
    group_id: int
    parent_group_id: int  #: takes the members when this group is deleted
    group_attr: int  #: uninterpreted
    name: str

    @classmethod
    def from_record(cls, r: Any) -> "Group":
        return cls(GroupKind(r.groupKind), int(r.groupId), int(r.parentGroupId),
                   int(r.groupAttr), decode(bytes(r.name)))


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
    """The outcome of connect()."""
    result: ConnectResult

    @property
    def ok(self) -> bool:
        """False: refused, unreachable, proxy failure or timeout."""
        return self.result == ConnectResult.SUCCEEDED


@dataclass(frozen=True)
class Closed(Event):
    """The connection was lost (not raised by close())."""
    reason: int  #: always 0


@dataclass(frozen=True)
class ServerInfo(Event):
    """Server information at login; the friend and group tables are emptied
    right after it."""


@dataclass(frozen=True)
class LoginResult(Event):
    result: LoginCode
    text: str  #: the server's reason when refused, else ""

    @property
    def ok(self) -> bool:
        return self.result == LoginCode.SUCCEEDED


@dataclass(frozen=True)
class LoggedOut(Event):
    """Forced logout (the account logged in elsewhere, or the operator)."""


@dataclass(frozen=True)
class AddUserResult(Event):
    result: AddUserCode
    user: Optional[User]


@dataclass(frozen=True)
class RemoveUserResult(Event):
    result: RemoveUserCode
    user_id: int


@dataclass(frozen=True)
class AddGroupResult(Event):
    result: AddGroupCode
    group: Optional[Group]


@dataclass(frozen=True)
class DeleteGroupResult(Event):
    result: DeleteGroupCode
    group_id: int


@dataclass(frozen=True)
class UpdateGroupResult(Event):
    result: UpdateGroupCode
    group_id: int


@dataclass(frozen=True)
class MoveUserResult(Event):
    result: MoveUserCode
    user_id: int


@dataclass(frozen=True)
class ChatMessage(Event):
    """Chat from a user (kind CHAT) or a server notice (the other kinds)."""
    kind: MessageKind
    sender: int  #: the sender's user id (a notice: its source value)
    text: str
    value1: int = 0  #: the sender's chat1..chat3 bytes
    value2: int = 0
    value3: int = 0
    value: Optional[float] = None  #: the double of the extended form


@dataclass(frozen=True)
class OfflineMessage(Event):
    """A chat stored while the user was offline, delivered at login."""
    kind: MessageKind
    sender: int
    value: float  #: kelvo-server: the send time, seconds since the epoch
    text: str
    value1: int
    value2: int
    value3: int
    block: bytes  #: the 38 uninterpreted bytes (kelvo-server: the sender's GBK name)
    extra: int


@dataclass(frozen=True)
class AddUserRequest(Event):
    """Another user asks to be added; read him with get_add_request() and
    answer with reply_add_request()."""
    user_id: int


@dataclass(frozen=True)
class AddUserReply(Event):
    result: AddUserReplyCode
    user: Optional[User]


@dataclass(frozen=True)
class OnlineStateChanged(Event):
    """A friend's online state changed; read it with get_user()."""
    user_id: int


@dataclass(frozen=True)
class UserEnteredGameServer(Event):
    user_id: int


@dataclass(frozen=True)
class UserLeftGameServer(Event):
    user_id: int


@dataclass(frozen=True)
class Log(Event):
    """A diagnostic text of the module."""
    text: str


@dataclass(frozen=True)
class SearchUserResult(Event):
    result: SearchResult


@dataclass(frozen=True)
class SearchUserListItem(Event):
    user: User


@dataclass(frozen=True)
class SearchUserListEnd(Event):
    """The end of a search's list, with the number of users it held."""
    count: int


@dataclass(frozen=True)
class HandlerError(Event):
    """A handler raised; the exception was caught at the native boundary."""
    event: Optional[Event]
    error: BaseException
