"""Result codes and numbered record values as IntEnums.

The module hands them over as plain integers. Each enum here names the ones
whose meaning is known (docs/arguments-and-results.md is the table they are
checked against); any other number the server sends is still delivered, as a
member named CODE_<n> of the same enum, so `int(code)` and comparisons with
plain integers always see the value as it came.
"""

from enum import IntEnum
from typing import Dict, Optional, Tuple, Type, TypeVar

_C = TypeVar("_C", bound="Code")

# Pseudo-members made once per (enum, value) and reused, so that the same
# unnamed code is always the same object.
_unnamed: Dict[Tuple[type, int], "Code"] = {}


class Code(IntEnum):
    """Base of the enums below: accepts every 32-bit value."""

    @classmethod
    def _missing_(cls, value: object) -> Optional["Code"]:
        if not isinstance(value, int) or not 0 <= value <= 0xFFFFFFFF:
            return None
        key = (cls, value)
        member = _unnamed.get(key)
        if member is None:
            member = int.__new__(cls, value)
            member._name_ = "CODE_%d" % value
            member._value_ = value
            _unnamed[key] = member
        return member

    @classmethod
    def of(cls: Type[_C], value: int) -> _C:
        """The member for `value`, named or not."""
        return cls(value)

    @property
    def named(self) -> bool:
        """False for a code this binding has no name for."""
        return self._name_ in type(self).__members__

    def __repr__(self) -> str:
        return "<%s.%s: %d>" % (type(self).__name__, self._name_, self._value_)


class ConnectResult(Code):
    """Connected.result (OnConnect)."""
    FAILED = 0     #: refused, unreachable, proxy failure or timeout
    SUCCEEDED = 1  #: connected


class LoginCode(Code):
    """LoginResult.result (OnLoginResult)."""
    REFUSED = 0    #: refused; the text says why
    SUCCEEDED = 1  #: logged in; the text is empty


class AddUserCode(Code):
    """AddUserResult.result. The server's codes 5 to 14 arrive as 4 to 13."""
    FAILED = 0        #: failed, for a reason the server does not name
    ACKNOWLEDGED = 1  #: the server took the request; the roster is unchanged
    ADDED = 2         #: the user is now on the roster
    REFUSED = 3       #: kelvo-server: unknown user, the own user, or already a friend


class AddUserReplyCode(Code):
    """AddUserReply.result: always DECLINED."""
    DECLINED = 0  #: the other user declined the own request


class RemoveUserCode(Code):
    """RemoveUserResult.result."""
    FAILED = 0        #: failed; kelvo-server: not a friend
    ACKNOWLEDGED = 1  #: the server took the request; the roster is unchanged
    REMOVED = 2       #: the user left the roster


class MoveUserCode(Code):
    """MoveUserResult.result. The server's codes 1, 2 and 4 to 9 pass as they are."""
    FAILED = 0  #: failed; kelvo-server: unknown friend or group
    MOVED = 3   #: the friend's record changed (group, record or relation)


class AddGroupCode(Code):
    """AddGroupResult.result. Codes 4 to 6 pass as they are."""
    FAILED = 0      #: failed, for a reason the server does not name
    ADDED = 1       #: created and stored in the group table
    NAME_TAKEN = 2  #: kelvo-server: the name is used; the group is that one
    REFUSED = 3     #: kelvo-server: empty name, unknown parent or too many groups


class UpdateGroupCode(Code):
    """UpdateGroupResult.result, for an update and a rename alike."""
    FAILED = 0   #: not changed
    UPDATED = 1  #: updated or renamed


class DeleteGroupCode(Code):
    """DeleteGroupResult.result."""
    FAILED = 0   #: not deleted
    DELETED = 1  #: gone; its members are filed under its parent


class OnlineState(Code):
    """User.online_state, and the users() filter."""
    ANY = 0      #: as a filter: any state
    OFFLINE = 1  #: offline; the game server is 0
    ONLINE = 2   #: kelvo-server: online


class Relation(Code):
    """User.relation, and the users() filter."""
    ANY = 0          #: as a filter: any relation
    GAME_MASTER = 1  #: a game master the server announced
    FRIEND = 2       #: kelvo-server: a friend on the own roster
    ONE_SIDED = 3    #: kept, in group 3, after the other side ended the friendship


class GroupKind(Code):
    """Group.group_kind, and the groups() filter."""
    ANY = 0      #: as a filter: any kind
    FRIENDS = 1  #: kelvo-server: the kind of every group it makes


class MessageKind(Code):
    """ChatMessage.kind and OfflineMessage.kind: chat or which server notice."""
    CHAT = 0          #: chat from a user
    NOTICE = 1        #: system message of another type, or info message without flags
    SYSTEM_TYPE1 = 2  #: system message of type 1
    SYSTEM_TYPE2 = 3  #: system message of type 2
    SYSTEM_TYPE3 = 4  #: system message of type 3
    SYSTEM_TYPE4 = 5  #: system message of type 4
    INFO_BIT0 = 6     #: info message, flag bit 0 (the lowest set bit of 0 to 6 wins)
    INFO_BIT1 = 7     #: info message, flag bit 1
    INFO_BIT2 = 8     #: info message, flag bit 2
    INFO_BIT3 = 9     #: info message, flag bit 3
    INFO_BIT4 = 10    #: info message, flag bit 4
    INFO_BIT5 = 11    #: info message, flag bit 5
    INFO_BIT6 = 12    #: info message, flag bit 6
    INFO_BIT7 = 13    #: info message, flag bit 7, over every other bit

    @property
    def is_chat(self) -> bool:
        return self is MessageKind.CHAT


class LoginState(Code):
    """Client.login_state (GetLoginState): where the current connection's
    login stands. Not a code of an event, so not in ALL_CODES."""
    NONE = 0      #: no login sent, refused, logged out, or no connection
    WAITING = 1   #: login sent, no answer yet
    LOADING = 2   #: LoginResult(SUCCEEDED) came; own data, groups and friends arriving
    COMPLETE = 3  #: they are in (or a second passed after the last of them)


ALL_CODES: Tuple[Type[Code], ...] = (
    ConnectResult, LoginCode, AddUserCode, AddUserReplyCode, RemoveUserCode, MoveUserCode,
    AddGroupCode, UpdateGroupCode, DeleteGroupCode, OnlineState, Relation, GroupKind,
    MessageKind)
