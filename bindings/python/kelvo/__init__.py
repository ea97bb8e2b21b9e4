"""Python binding of the Kelvo client core: ctypes over the module's own
interfaces, no dependencies (see the package's README).

kelvo.Client is the synchronous client; kelvo.aio.AsyncClient the same for
asyncio; kelvo.SharedLoop pumps many clients on the module's shared network
loop at once; kelvo.locust (needs Locust) is a Locust user class over them. Result codes and numbered values are IntEnums (kelvo.AddUserCode,
kelvo.OnlineState, ...); every sink call arrives as an event object
(kelvo.ChatMessage, kelvo.LoginResult, ...).
"""

from .client import (MAX_CHAT_BYTES, MAX_GROUP_NAME_BYTES, MAX_SEARCH_NAME_BYTES, Client,
                     SharedLoop, password_digest)
from .codes import (AddGroupCode, AddUserCode, AddUserReplyCode, Code, ConnectResult,
                    DeleteGroupCode, GroupKind, LoginCode, LoginState, MessageKind, MoveUserCode, OnlineState,
                    Relation, RemoveUserCode, UpdateGroupCode)
from .errors import InvalidArgument, KelvoError, NotSent, Refusal, ReleasedError, RequestRefused
from .events import (AddGroupResult, AddUserReply, AddUserRequest, AddUserResult, ChatMessage,
                     Closed, Connected, DeleteGroupResult, Event, Group, HandlerError, LoggedOut,
                     Log, LoginResult, MoveUserResult, OfflineMessage, OnlineStateChanged,
                     RemoveUserResult, SearchResult, SearchUserListEnd, SearchUserListItem,
                     SearchUserResult, ServerInfo, UpdateGroupResult, User, UserEnteredGameServer,
                     UserLeftGameServer)

from ._version import __version__

__all__ = [
    "Client", "SharedLoop", "password_digest", "MAX_CHAT_BYTES", "MAX_GROUP_NAME_BYTES",
    "MAX_SEARCH_NAME_BYTES",
    "KelvoError", "ReleasedError", "RequestRefused", "InvalidArgument", "NotSent", "Refusal",
    "Code", "ConnectResult", "LoginCode", "LoginState", "AddUserCode", "AddUserReplyCode", "RemoveUserCode",
    "MoveUserCode", "AddGroupCode", "UpdateGroupCode", "DeleteGroupCode", "OnlineState",
    "Relation", "GroupKind", "MessageKind",
    "Event", "User", "Group", "SearchResult", "Connected", "Closed", "ServerInfo", "LoginResult",
    "LoggedOut", "AddUserResult", "AddUserReply", "RemoveUserResult", "MoveUserResult",
    "AddGroupResult", "UpdateGroupResult", "DeleteGroupResult", "ChatMessage", "OfflineMessage",
    "AddUserRequest", "OnlineStateChanged", "UserEnteredGameServer", "UserLeftGameServer", "Log",
    "SearchUserResult", "SearchUserListItem", "SearchUserListEnd", "HandlerError",
]
