"""Python binding of the Kelvo client core (ctypes over the module's own
interfaces; see bindings/python/README.md)."""

from .client import Client, KelvoError, ReleasedError, password_digest
from .events import (AddGroupResult, AddUserReply, AddUserRequest, AddUserResult, ChatMessage,
                     Closed, Connected, DeleteGroupResult, Event, Group, HandlerError,
                     LoggedOut, Log, LoginResult, MoveUserResult, OfflineMessage,
                     OnlineStateChanged, RemoveUserResult, SearchResult, SearchUserListEnd,
                     SearchUserListItem, SearchUserResult, ServerInfo, UpdateGroupResult,
                     User, UserEnteredGameServer, UserLeftGameServer)

__all__ = [
    "Client",
    "KelvoError",
    "ReleasedError",
    "password_digest",
    "AddGroupResult",
    "AddUserReply",
    "AddUserRequest",
    "AddUserResult",
    "ChatMessage",
    "Closed",
    "Connected",
    "DeleteGroupResult",
    "Event",
    "Group",
    "HandlerError",
    "LoggedOut",
    "Log",
    "LoginResult",
    "MoveUserResult",
    "OfflineMessage",
    "OnlineStateChanged",
    "RemoveUserResult",
    "SearchResult",
    "SearchUserListEnd",
    "SearchUserListItem",
    "SearchUserResult",
    "ServerInfo",
    "UpdateGroupResult",
    "User",
    "UserEnteredGameServer",
    "UserLeftGameServer",
]
