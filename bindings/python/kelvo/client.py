"""Client: one messaging client of the module, driven from Python.

The client always runs in pump mode: the module's network thread only reads
and queues, and every handler runs inside pump() (or events(), wait_for())
on the thread that calls it. Python code therefore never runs on a thread
the module owns, and a game or bot loop decides when callbacks happen.
"""

import collections
import ctypes
import hashlib
import ipaddress
import itertools
import logging
import threading
import time
from ctypes import byref, c_uint8, c_void_p
from typing import (Any, Callable, Deque, Dict, Iterator, List, Optional, Tuple, Type, TypeVar,
                    Union, overload)

from . import _native as N
from . import events as E
from .codes import (AddGroupCode, AddUserCode, AddUserReplyCode, ConnectResult, DeleteGroupCode,
                    GroupKind, LoginCode, LoginState, MessageKind, MoveUserCode, OnlineState,
                    Relation, RemoveUserCode, UpdateGroupCode)
from .errors import InvalidArgument, KelvoError, NotSent, Refusal, ReleasedError

_log = logging.getLogger("kelvo")

EventT = TypeVar("EventT", bound=E.Event)
Handler = Callable[[EventT], None]
Match = Union[Type[EventT], Callable[[E.Event], bool]]

# Longest texts the requests take, in GBK bytes without the terminator. The
# module cuts a renamed group's name at 64 bytes and the server at 63; the
# binding refuses what either would cut instead.
MAX_CHAT_BYTES = 255
MAX_GROUP_NAME_BYTES = 63
MAX_SEARCH_NAME_BYTES = 31

# How often login_complete() looks at the state while no event comes: the
# login also completes a second after the last of its messages, with no
# event to say so.
LOGIN_POLL_SECONDS = 0.05


def password_digest(password: str) -> bytes:
    """The 16 bytes kelvo-server expects: the MD5 of the UTF-8 password."""
    return hashlib.md5(password.encode("utf-8")).digest()


def encode_text(operation: str, text: Union[str, bytes], limit: int,
                allow_empty: bool = False) -> bytes:
    """`text` as the GBK bytes a request carries, or InvalidArgument saying
    why not (empty, too long, not encodable, holding a NUL)."""
    if isinstance(text, str):
        try:
            raw = text.encode(E.ENCODING)
        except UnicodeEncodeError as exc:
            bad = text[exc.start:exc.end]
            raise InvalidArgument(operation, Refusal.NOT_ENCODABLE,
                                  "%r at %d" % (bad, exc.start)) from None
    else:
        raw = bytes(text)
    if b"\0" in raw:
        # The module reads up to the first NUL; refuse rather than send less.
        raise InvalidArgument(operation, Refusal.CONTAINS_NUL)
    if not raw and not allow_empty:
        raise InvalidArgument(operation, Refusal.TEXT_EMPTY)
    if len(raw) > limit:
        raise InvalidArgument(operation, Refusal.TEXT_TOO_LONG,
                              "%d GBK bytes, at most %d" % (len(raw), limit))
    return raw


def _ipv4(host: str) -> int:
    return int(ipaddress.IPv4Address(host))  # host byte order, as Connect wants


def _is_ipv4(host: str) -> bool:
    try:
        ipaddress.IPv4Address(host)
        return True
    except ValueError:
        return False


def _host_bytes(host: str) -> bytes:
    """A host as the module takes it: ASCII, an internationalised name in
    its "xn--" form."""
    try:
        raw = host.encode("ascii")
    except UnicodeEncodeError:
        try:
            raw = host.encode("idna")
        except UnicodeError:
            raise InvalidArgument("connect", Refusal.BAD_HOST, repr(host)) from None
    if not raw or b"\0" in raw or len(raw) > N.KELVO_HOST_NAME_MAX:
        raise InvalidArgument("connect", Refusal.BAD_HOST, repr(host))
    return raw


def _plausible_host(raw: bytes) -> bool:
    """Whether the module's refusal of `raw` can be a busy connection
    rather than the host itself: an IPv6 address, or a name of labels."""
    text = raw.decode("ascii")
    try:
        ipaddress.IPv6Address(text[1:-1] if text.startswith("[") and text.endswith("]") else text)
        return True
    except ValueError:
        pass
    labels = text.split(".")
    return all(0 < len(l) <= 63 and all(c.isalnum() or c in "-_" for c in l) for l in labels)


def _matcher(match: Any) -> Callable[[E.Event], bool]:
    if isinstance(match, type):
        cls = match
        return lambda ev: isinstance(ev, cls)
    return match  # type: ignore[no-any-return]


class Requests:
    """The requests and local reads, shared by Client and kelvo.aio.AsyncClient.

    Every request returns True once the module handed the message to the
    network library; the answer, if any, comes later as an event. A request
    that is not sent raises: InvalidArgument (also a ValueError) for what is
    refused before the module, NotSent when the module or its network library
    does not take it. Either way nothing was sent.
    """

    def _call(self, operation: str, op: str, *args: Any) -> Any:
        raise NotImplementedError

    def _enumerate(self, call: Callable[[int], None]) -> List[Any]:
        raise NotImplementedError

    def _send(self, operation: str, op: str, *args: Any) -> bool:
        if not self._call(operation, op, *args):
            raise NotSent(operation, self._why_not_sent())
        return True

    def _why_not_sent(self) -> Refusal:
        return Refusal.NOT_SENT

    def logout(self, user_id: Optional[int] = None) -> bool:
        """Logs out (request 2). `user_id`: the account logging out, the own
        user when not given."""
        if user_id is None:
            me = self.my_info
            user_id = me.user_id if me else 0
        return self._send("logout", "Logout", user_id)

    def add_user(self, target_user_id: int, group_id: int, extra: int = 0) -> bool:
        """Asks `target_user_id` to become a friend, to be filed under
        `group_id` once he accepts (request 3). `extra` is sent unchanged
        (kelvo-server ignores it). The answer comes as AddUserResult (ADDED
        when he accepts, REFUSED for an unknown user, oneself or a friend) or
        AddUserReply (DECLINED)."""
        return self._send("add_user", "AddUser", target_user_id, group_id, extra)

    def remove_user(self, user_id: int) -> bool:
        """Ends the friendship with `user_id`, on both sides (request 4).
        Answer: RemoveUserResult."""
        return self._send("remove_user", "RemoveUser", user_id)

    def add_group(self, parent_group_id: int, group_kind: int, name: Union[str, bytes]) -> bool:
        """Creates a group named `name` (1 to 63 GBK bytes) of kind
        `group_kind` inside `parent_group_id` (0: top level) (request 5).
        Answer: AddGroupResult with the new group."""
        raw = encode_text("add_group", name, MAX_GROUP_NAME_BYTES)
        return self._send("add_group", "AddGroup", parent_group_id, group_kind, raw)

    def delete_group(self, group_id: int) -> bool:
        """Deletes `group_id`; its members move to its parent (request 6).
        Answer: DeleteGroupResult."""
        return self._send("delete_group", "DeleteGroup", group_id)

    def rename_group(self, group_id: int, name: Union[str, bytes]) -> bool:
        """Renames `group_id` to `name` (1 to 63 GBK bytes) (request 7).
        Answer: UpdateGroupResult."""
        raw = encode_text("rename_group", name, MAX_GROUP_NAME_BYTES)
        return self._send("rename_group", "RenameGroup", group_id, raw)

    def move_user(self, user_id: int, group_id: int, extra: int = 0) -> bool:
        """Files the friend `user_id` under `group_id` (request 8). `extra`
        is sent unchanged (kelvo-server ignores it). Answer: MoveUserResult."""
        return self._send("move_user", "MoveUser", user_id, group_id, extra)

    def send_chat(self, peer_user_id: int, text: Union[str, bytes], extra: int = 0,
                  chat1: int = 0, chat2: int = 0, chat3: int = 0) -> bool:
        """Sends `text` (1 to 255 GBK bytes) to `peer_user_id`, a friend or
        not (request 73); an offline peer gets it at his next login.
        `chat1`..`chat3` are application bytes the peer receives as the
        chat's value1..value3; `extra` is sent unchanged and not delivered."""
        raw = encode_text("send_chat", text, MAX_CHAT_BYTES)
        return self._send("send_chat", "SendChatMessage", peer_user_id, extra, raw,
                          chat1, chat2, chat3)

    def request_friend(self, ignored: int = 0) -> None:
        """No longer supported by the module: sends nothing and logs a Log
        event that says so."""
        self._call("request_friend", "Request_friend", ignored)

    def reply_add_request(self, user_id: int, group_id: int, accept: bool) -> bool:
        """Answers the pending add request of `user_id` (request 11):
        accepted, the asker is filed under `group_id`; the request leaves the
        pending table either way. InvalidArgument when nothing is pending from
        that user."""
        if self.get_add_request(user_id) is None:
            raise InvalidArgument("reply_add_request", Refusal.NO_PENDING_REQUEST,
                                  "user %d" % user_id)
        return self._send("reply_add_request", "ReplyAddRequest", user_id, group_id,
                          bool(accept))

    def enter_game_server(self, game_server_id: int) -> bool:
        """Announces that the own user now plays on `game_server_id`
        (request 12); friends get UserEnteredGameServer."""
        return self._send("enter_game_server", "EnterGameServer", game_server_id)

    def leave_game_server(self, game_server_id: int) -> bool:
        """Announces that the own user left `game_server_id` (request 12)."""
        return self._send("leave_game_server", "LeaveGameServer", game_server_id)

    def search_user(self, name: Union[str, bytes, None] = None, reserved1: int = 0,
                    reserved2: int = 0) -> bool:
        """Searches the users whose name contains `name` (at most 31 GBK
        bytes; None or "" finds everyone) (request 10). The results come as
        SearchUserListItem events and one SearchUserListEnd. `reserved1` and
        `reserved2` are sent unchanged (kelvo-server ignores them)."""
        raw = None if name is None else encode_text("search_user", name, MAX_SEARCH_NAME_BYTES,
                                                    allow_empty=True)
        return self._send("search_user", "SearchUser", reserved1, reserved2, raw)

    # ----- local reads (no message sent)

    def users(self, relation: int = Relation.ANY, group_id: int = 0, game_server_id: int = 0,
              online_state: int = OnlineState.ANY) -> List[E.User]:
        """Friends matching every nonzero filter, in ascending id order."""
        def enum(ctx: int) -> None:
            self._call("users", "EnumUsers", ctx, relation, group_id, game_server_id,
                       online_state)
        return self._enumerate(enum)

    def add_requests(self) -> List[E.User]:
        """The pending add requests, in ascending id order."""
        def enum(ctx: int) -> None:
            self._call("add_requests", "EnumAddRequests", ctx)
        return self._enumerate(enum)

    def groups(self, group_kind: int = GroupKind.ANY) -> List[E.Group]:
        """The groups of that kind (ANY: all), in ascending id order."""
        def enum(ctx: int) -> None:
            self._call("groups", "EnumGroups", ctx, group_kind)
        return self._enumerate(enum)

    def get_user(self, user_id: int) -> Optional[E.User]:
        """The friend's record, or None."""
        rec = N.UserRecord()
        found = self._call("get_user", "GetUser", user_id, byref(rec))
        return E.User.from_record(rec) if found else None

    def get_add_request(self, user_id: int) -> Optional[E.User]:
        """The pending request of `user_id`, or None."""
        rec = N.UserRecord()
        found = self._call("get_add_request", "GetAddRequest", user_id, byref(rec))
        return E.User.from_record(rec) if found else None

    def get_group(self, group_id: int) -> Optional[E.Group]:
        """The group's record, or None."""
        rec = N.GroupRecord()
        found = self._call("get_group", "GetGroup", group_id, byref(rec))
        return E.Group.from_record(rec) if found else None

    @property
    def my_info(self) -> Optional[E.User]:
        """A copy of the own record, or None until own data has arrived."""
        p = self._call("my_info", "GetMyInfo")
        return E.User.from_record(p.contents) if p else None

    @property
    def is_gm(self) -> bool:
        """True when own data has arrived and names a game master."""
        return bool(self._call("is_gm", "IsGm"))


class _SharedPumping:
    """Which thread runs SharedLoop.pump() right now: its handlers are those
    of every client on the shared loop, which then count as inside a handler
    on that thread."""
    lock = threading.Lock()
    thread: Optional[int] = None
    # A KeyboardInterrupt or SystemExit a handler raised during that pump.
    deferred: Optional[BaseException] = None


class Client(Requests):
    """One client object of the module. Use as a context manager, or call
    release() when done (safe to call twice).

    `shared_loop`: the client's connections run on the process's shared
    network loop (kelvo.SharedLoop) instead of a network thread of its own;
    its events are still pumped by its own pump() (events(), wait_for()) or,
    for every such client at once, by SharedLoop.pump(). KelvoError when the
    module has no shared loop.

    `keep_events`: False keeps no event objects for pump(), events() and
    wait_for() (which then raise KelvoError): events reach the handlers
    only. For many clients pumped together by SharedLoop.pump(), where
    nobody would take them and they would pile up.
    """

    def __init__(self, module: Optional[str] = None,
                 on_error: Optional[Callable[[E.HandlerError], None]] = None,
                 shared_loop: bool = False, keep_events: bool = True) -> None:
        create = N.load_module(module)
        self._on_error = on_error
        self._shared = bool(shared_loop)
        self._keep_events = bool(keep_events)
        self._handlers: Dict[type, List[Callable[[Any], None]]] = {}
        # Delivered events not yet taken, with their arrival number.
        self._ready: Deque[Tuple[int, E.Event]] = collections.deque()
        self._arrivals = itertools.count(1)
        self._last_arrival = 0
        self._deferred: Optional[BaseException] = None
        self._enums: Dict[int, List[Any]] = {}
        self._enum_ids = itertools.count(1)
        # What the delivered events say of the connection, for the reason of
        # a refused send.
        self._connected = False
        # Pump and release never overlap: releasing from another thread waits
        # for the pump under way. Re-entrant so a handler may release.
        self._life_lock = threading.RLock()
        self._pump_thread: Optional[int] = None
        self._release_asked = False
        self._ptr: Optional[int] = None
        self._ops: Optional[Dict[str, N.Bound]] = None
        self._pump_ops: Optional[Dict[str, N.Bound]] = None
        self._net_ops: Optional[Dict[str, N.Bound]] = None
        self._build_sink()

        ptr = create(byref(N.IID_IImClient), N.IM_INTERFACE_VERSION)
        if not ptr:
            raise KelvoError("CreateKelvoCore refused the interface or could not build a client")
        self._ptr = ptr
        self._ops = N.bind(ptr, N.CLIENT_OPS)
        try:
            pump = self._ops["QueryInterface"](byref(N.IID_IImClientPump),
                                               N.IM_PUMP_INTERFACE_VERSION)
            if not pump:
                raise KelvoError("the module has no pump interface")
            self._pump_ops = N.bind(pump, N.PUMP_OPS)
            if not self._pump_ops["SetDeliveryMode"](N.KELVO_DELIVERY_PUMP):
                raise KelvoError("the module refused pump mode")
            if self._shared:
                engine = _engine_ops(self._ops)
                if not engine["UseSharedLoop"](1):
                    raise KelvoError("the module refused the shared loop")
            network = self._ops["QueryInterface"](byref(N.IID_IImClientNetwork),
                                                  N.IM_NETWORK_INTERFACE_VERSION)
            if network:  # a module older than the face: no login_state
                self._net_ops = N.bind(network, N.NETWORK_OPS)
            if not self._ops["SetSink"](ctypes.addressof(self._sink)):
                raise KelvoError("the module did not accept the sink")
        except BaseException:
            self.release()
            raise

    # ----- lifetime

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc: object) -> None:
        self.release()

    def __del__(self) -> None:
        try:
            self.release()
        except Exception:
            pass

    @property
    def released(self) -> bool:
        return self._ptr is None

    def release(self) -> None:
        """Ends the client. Nothing queued is delivered afterwards. Safe to call
        twice and from inside a handler (the module then finishes the event
        under way and destroys the client when pump returns)."""
        if not self._life_lock.acquire(blocking=False):
            # Another thread is pumping: ask it to stop after the batch under
            # way, or a steady flood could keep this thread waiting.
            self._release_asked = True
            self._life_lock.acquire()
        try:
            ops = self._ops
            if ops is None:
                return
            self._ops = self._pump_ops = self._net_ops = self._ptr = None
            self._connected = False
            ops["Release"]()
        finally:
            self._life_lock.release()
        # The sink's callbacks are kept (self._callbacks) for as long as this
        # object lives: a handler running right now is executing one of them.

    def _call(self, operation: str, op: str, *args: Any) -> Any:
        ops = self._ops
        if ops is None:
            raise ReleasedError("%s: the client was released" % operation)
        result = ops[op](*args)
        self._raise_deferred()  # a Ctrl-C inside Request_friend's OnLog, say
        return result

    def _why_not_sent(self) -> Refusal:
        return Refusal.NOT_SENT if self._connected else Refusal.NOT_CONNECTED

    # ----- events

    @overload
    def on(self, event_type: Type[EventT]) -> Callable[[Handler[EventT]], Handler[EventT]]: ...

    @overload
    def on(self, event_type: Type[EventT], handler: Handler[EventT]) -> Handler[EventT]: ...

    def on(self, event_type: Type[EventT],
           handler: Optional[Handler[EventT]] = None) -> Any:
        """Calls `handler(event)` for every event that is an `event_type`
        (Event: all). Usable as a decorator: @client.on(ChatMessage)."""
        def register(h: Handler[EventT]) -> Handler[EventT]:
            self._handlers.setdefault(event_type, []).append(h)
            return h
        return register(handler) if handler is not None else register

    def off(self, event_type: Type[EventT], handler: Handler[EventT]) -> None:
        self._handlers.get(event_type, []).remove(handler)

    def pump(self, max_events: int = 256) -> List[E.Event]:
        """Runs up to `max_events` queued events on this thread (their handlers
        are called) and returns every event object not yet taken, in arrival
        order: those just run, those an earlier events() or wait_for() passed
        over, any HandlerError, and events raised outside a pump (such as the
        Log of request_friend)."""
        if self._in_handler():
            return []  # the outer pump goes on and returns them
        self._pump_native(max_events)
        batch = [ev for _, ev in self._ready]
        self._ready.clear()
        return batch

    def _pump_native(self, max_events: int) -> None:
        with self._life_lock:
            if self._pump_ops is not None and not self._release_asked:
                self._pump_thread = threading.get_ident()
                try:
                    self._pump_ops["Pump"](max_events)
                finally:
                    self._pump_thread = None
        self._raise_deferred()

    def _in_handler(self) -> bool:
        me = threading.get_ident()
        return self._pump_thread == me or (self._shared and _SharedPumping.thread == me)

    @property
    def on_shared_loop(self) -> bool:
        """True when the client was made with shared_loop=True."""
        return self._shared

    def _kept(self, operation: str) -> None:
        if not self._keep_events:
            raise KelvoError("%s: the client was made with keep_events=False; "
                             "take its events with handlers (on)" % operation)

    def _take(self, test: Callable[[E.Event], bool], after: int = 0) -> Optional[E.Event]:
        """Removes and returns the first waiting event that arrived after
        arrival number `after` and passes `test`; the others stay."""
        for i, (arrival, ev) in enumerate(self._ready):
            if arrival > after and test(ev):
                del self._ready[i]
                return ev
        return None

    def _mark(self) -> int:
        """The arrival number of the latest event delivered so far."""
        return self._last_arrival

    def pending_events(self) -> int:
        """Events queued in the module, not yet pumped (a hint)."""
        return int(self._pump_ops_or_raise()["PendingEvents"]())

    def wait_for_events(self, timeout: float) -> bool:
        """Sleeps until an event is queued or `timeout` seconds passed."""
        if self._in_handler():
            return False  # nothing can be delivered before the handler returns
        deadline = time.monotonic() + timeout
        while True:
            # In slices, so that a release from another thread (which waits
            # for this) and Ctrl-C are not held up for long.
            with self._life_lock:
                ops = self._pump_ops
                if ops is None or self._release_asked:
                    return False
                left = deadline - time.monotonic()
                if ops["WaitForEvents"](max(0, min(100, int(left * 1000)))):
                    return True
            if left <= 0.1:
                return False

    def events(self, timeout: Optional[float] = None) -> Iterator[E.Event]:
        """Pumps and yields events one by one as they arrive, until `timeout`
        seconds passed (None: until the client is released). Events run but
        not yet yielded when the caller stops iterating stay for the next
        events(), wait_for() or pump()."""
        if self._in_handler():
            raise KelvoError("events() and wait_for() cannot wait inside a handler")
        self._kept("events")
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            while self._ready:
                yield self._ready.popleft()[1]
            if self.released:
                return
            self._pump_native(256)
            if self._ready:
                continue
            left = 0.1 if deadline is None else min(0.1, deadline - time.monotonic())
            if left <= 0:
                return
            self.wait_for_events(left)

    @overload
    def wait_for(self, match: Type[EventT], timeout: float = 5.0) -> EventT: ...

    @overload
    def wait_for(self, match: Callable[[E.Event], bool], timeout: float = 5.0) -> E.Event: ...

    def wait_for(self, match: Any, timeout: float = 5.0) -> Any:
        """Pumps until an event matches (a class, or a predicate) and returns
        it, the oldest match first. The events it passes over are kept, in
        order, for the next pump(), events() or wait_for(): nothing is lost
        (their handlers ran as usual when they arrived). Raises TimeoutError,
        or ReleasedError when the client is released meanwhile."""
        if self._in_handler():
            raise KelvoError("events() and wait_for() cannot wait inside a handler")
        self._kept("wait_for")
        test = _matcher(match)
        deadline = time.monotonic() + timeout
        while True:
            found = self._take(test)
            if found is not None:
                return found
            if self.released:
                raise ReleasedError("wait_for: the client was released")
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no matching event within %.1f s" % timeout)
            before = len(self._ready)
            self._pump_native(256)
            if len(self._ready) == before:
                self.wait_for_events(min(left, 0.1))

    # ----- connection

    def connect(self, host: str, port: int, proxy: Optional[Tuple[str, int]] = None,
                proxy_param: int = 0) -> bool:
        """Starts connecting to `host`:`port`, through the SOCKS5 proxy
        (host, port) when given. `host` is a name ("im.example.com"), an
        IPv4 or an IPv6 address ("::1" or "[::1]"); a name is resolved by the
        module, off the calling thread. The outcome arrives as Connected.
        NotSent (CONNECTION_BUSY) while a connection is up or under way;
        InvalidArgument (BAD_HOST) for a host that is none of these."""
        if _is_ipv4(host) and (proxy is None or _is_ipv4(proxy[0])):
            # Addresses only: the original Connect, which also carries
            # proxy_param.
            addr = N.ServerAddress(_ipv4(host), port, 0, proxy_param, 0)
            if proxy is not None:
                addr.proxyIp, addr.proxyPort = _ipv4(proxy[0]), proxy[1]
            if not self._call("connect", "Connect", byref(addr)):
                raise NotSent("connect", Refusal.CONNECTION_BUSY)
            return True
        net = self._network_ops()
        name = _host_bytes(host)
        proxy_name, proxy_port = (_host_bytes(proxy[0]), proxy[1]) if proxy else (b"", 0)
        # The module refuses a malformed host and a busy client alike: the
        # first is told apart here.
        if port == 0 or not _plausible_host(name):
            raise InvalidArgument("connect", Refusal.BAD_HOST, repr(host))
        if proxy is not None and (proxy_port == 0 or not _plausible_host(proxy_name)):
            raise InvalidArgument("connect", Refusal.BAD_HOST, repr(proxy[0]))
        if not net["SetProxy"](proxy_name, proxy_port) or not net["ConnectTo"](name, port):
            raise NotSent("connect", Refusal.CONNECTION_BUSY)
        return True

    def _network_ops(self) -> Dict[str, N.Bound]:
        ops = self._ops
        if ops is None:
            raise ReleasedError("the client was released")
        face = ops["QueryInterface"](byref(N.IID_IImClientNetwork),
                                     N.IM_NETWORK_INTERFACE_VERSION)
        if not face:
            raise KelvoError("the module connects by IPv4 address only (no IImClientNetwork)")
        return N.bind(face, N.NETWORK_OPS)

    def close(self) -> bool:
        """Empties the tables and closes the connection; no Closed event."""
        self._connected = False
        return bool(self._call("close", "Close"))

    def login(self, user_id: int, password: Union[str, bytes],
              extra: Optional[bytes] = None) -> bool:
        """Logs `user_id` in (request 13). `password`: a text (sent as the MD5
        of its UTF-8 bytes, as kelvo-server keeps it) or the 16-byte digest.
        `extra`: up to 33 bytes sent unchanged. The answer is a LoginResult."""
        digest = password_digest(password) if isinstance(password, str) else bytes(password)
        if len(digest) != 16:
            raise ValueError("the password digest is 16 bytes")
        extra_buf = None
        if extra is not None:
            if len(extra) > 33:
                raise ValueError("extra is at most 33 bytes")
            extra_buf = (c_uint8 * 33).from_buffer_copy(bytes(extra).ljust(33, b"\0"))
        pw = (c_uint8 * 16).from_buffer_copy(digest)
        return self._send("login", "Login", user_id, pw, extra_buf)

    @property
    def login_state(self) -> LoginState:
        """Where the current connection's login stands, as of the events
        pumped so far. COMPLETE: the own data (my_info), the groups and the
        first friend list have arrived, or a second passed after the last of
        the login's messages. Back to NONE on close, loss, refusal and
        logout."""
        ops = self._net_ops
        if ops is None:
            if self.released:
                raise ReleasedError("login_state: the client was released")
            raise KelvoError("login_state: the module has no IImClientNetwork")
        return LoginState(ops["GetLoginState"]())

    def login_complete(self, timeout: Optional[float] = 10.0) -> bool:
        """Pumps until the login is complete (login_state COMPLETE) and
        returns True; False at once when no login is under way, or when it
        ends first (refused, logged out, connection closed or lost).
        TimeoutError after `timeout` seconds (None: no limit), ReleasedError
        when the client is released meanwhile. Events it pumps stay for
        pump(), events() and wait_for(), as with wait_for()."""
        if self._in_handler():
            raise KelvoError("login_complete() cannot wait inside a handler")
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            self._pump_native(256)
            state = self.login_state
            if state is LoginState.COMPLETE:
                return True
            if state is LoginState.NONE:
                return False
            left = LOGIN_POLL_SECONDS if deadline is None else deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("login not complete within %s s (%s)"
                                   % (timeout, state.name))
            self.wait_for_events(min(left, LOGIN_POLL_SECONDS))

    # ----- enumeration and the sink

    def _enumerate(self, call: Callable[[int], None]) -> List[Any]:
        ctx = next(self._enum_ids) & 0xFFFFFFFF
        found: List[Any] = []
        self._enums[ctx] = found
        try:
            call(ctx)
        finally:
            del self._enums[ctx]
        self._raise_deferred()
        return found

    def _pump_ops_or_raise(self) -> Dict[str, N.Bound]:
        ops = self._pump_ops
        if ops is None:
            raise ReleasedError("the client was released")
        return ops

    def _build_sink(self) -> None:
        user = E.User.from_record
        group = E.Group.from_record
        s = ctypes.string_at

        def opt(conv: Callable[[Any], Any], p: Any) -> Any:
            return conv(p.contents) if p else None

        def text(p: Optional[int]) -> str:
            return E.decode(s(p)) if p else ""

        events: Dict[str, Callable[..., E.Event]] = {
            "OnConnect": lambda st: E.Connected(ConnectResult(st)),
            "OnClose": lambda r: E.Closed(r),
            "OnServerInfo": lambda: E.ServerInfo(),
            "OnLoginResult": lambda r, t: E.LoginResult(LoginCode(r), text(t)),
            "OnLogout": lambda: E.LoggedOut(),
            "OnAddUserResult": lambda r, u: E.AddUserResult(AddUserCode(r), opt(user, u)),
            "OnRemoveUserResult": lambda r, i: E.RemoveUserResult(RemoveUserCode(r), i),
            "OnAddGroupResult": lambda r, g: E.AddGroupResult(AddGroupCode(r), opt(group, g)),
            "OnDeleteGroupResult": lambda r, i: E.DeleteGroupResult(DeleteGroupCode(r), i),
            "OnUpdateGroupResult": lambda r, i: E.UpdateGroupResult(UpdateGroupCode(r), i),
            "OnMoveUserResult": lambda r, i: E.MoveUserResult(MoveUserCode(r), i),
            "OnChatMessage": lambda k, snd, t, a, b, c:
                E.ChatMessage(MessageKind(k), snd, text(t), a, b, c),
            "OnChatMessageEx": lambda k, snd, v, t, a, b, c:
                E.ChatMessage(MessageKind(k), snd, text(t), a, b, c, v),
            "OnOfflineMessage": lambda k, snd, v, t, a, b, c, blk, x:
                E.OfflineMessage(MessageKind(k), snd, v, text(t), a, b, c,
                                 s(blk, 38) if blk else b"", x),
            "OnAddUserRequest": lambda i: E.AddUserRequest(i),
            "OnAddUserReply": lambda r, u: E.AddUserReply(AddUserReplyCode(r), opt(user, u)),
            "OnOnlineStateChanged": lambda i: E.OnlineStateChanged(i),
            "OnUserEnterGameServer": lambda i: E.UserEnteredGameServer(i),
            "OnUserLeaveGameServer": lambda i: E.UserLeftGameServer(i),
            "OnLog": lambda t: E.Log(text(t)),
            "OnSearchUserResult": lambda r: E.SearchUserResult(E.SearchResult(
                r.contents.value1, r.contents.value2, r.contents.value3, r.contents.value4)),
            "OnSearchUserListItem": lambda u: E.SearchUserListItem(user(u.contents)),
            "OnSearchUserListEnd": lambda n: E.SearchUserListEnd(n),
        }
        enums: Dict[str, Callable[[Any], Any]] = {
            "OnEnumUser": user, "OnEnumAddRequest": user, "OnEnumGroup": group}

        def make(name: str, restype: Any, argtypes: Tuple[Any, ...]) -> Any:
            proto = N.FUNCTYPE(restype, c_void_p, *argtypes)
            if name == "IsValid":
                return proto(lambda this: True)
            if name == "Release":
                return proto(lambda this: True)  # the sink is ours; nothing to free
            if name == "QueryInterface":
                return proto(self._sink_query)
            if name in enums:
                conv = enums[name]

                def on_enum(this: Any, ctx: int, rec: Any) -> bool:
                    try:
                        found = self._enums.get(ctx)
                        if found is None or not rec:
                            return False
                        found.append(conv(rec.contents))
                        return True
                    except BaseException as exc:  # never into native code
                        self._handler_failed(None, exc)
                        return False
                return proto(on_enum)
            conv_event = events[name]

            def on_event(this: Any, *args: Any) -> None:
                try:
                    ev = conv_event(*args)
                except BaseException as exc:
                    self._handler_failed(None, exc)
                    return
                self._deliver(ev)
            return proto(on_event)

        # Kept for the object's lifetime: the module calls these addresses.
        self._callbacks = [make(*op) for op in N.SINK_OPS]
        self._vtable = (c_void_p * len(self._callbacks))(
            *[ctypes.cast(cb, c_void_p) for cb in self._callbacks])
        self._sink = N.SinkObject(ctypes.cast(self._vtable, ctypes.POINTER(c_void_p)))

    def _sink_query(self, this: Any, iid: Any, version: int) -> Optional[int]:
        try:
            if iid and bytes(iid.contents) in (bytes(N.IID_IImClientSink), bytes(N.IID_IImBase)) \
                    and (version >> 16) == 0x0101:
                return ctypes.addressof(self._sink)
        except BaseException as exc:
            self._handler_failed(None, exc)
        return None

    def _queue(self, ev: E.Event) -> None:
        if not self._keep_events:
            return
        self._last_arrival = next(self._arrivals)
        self._ready.append((self._last_arrival, ev))

    def _deliver(self, ev: E.Event) -> None:
        if isinstance(ev, E.Connected):
            self._connected = ev.ok
        elif isinstance(ev, E.Closed):
            self._connected = False
        self._queue(ev)
        for cls, handlers in list(self._handlers.items()):
            if isinstance(ev, cls):
                for h in list(handlers):
                    try:
                        h(ev)
                    except BaseException as exc:  # never into native code
                        self._handler_failed(ev, exc)

    def _handler_failed(self, ev: Optional[E.Event], exc: BaseException) -> None:
        try:
            if not isinstance(exc, Exception):
                # KeyboardInterrupt, SystemExit: raised again once the native
                # call that ran the handler has returned.
                if self._shared and _SharedPumping.thread == threading.get_ident():
                    if _SharedPumping.deferred is None:
                        _SharedPumping.deferred = exc
                elif self._deferred is None:
                    self._deferred = exc
                return
            report = E.HandlerError(ev, exc)
            self._queue(report)
            if self._on_error is not None:
                self._on_error(report)
            else:
                _log.error("kelvo: a handler raised on %r", ev, exc_info=exc)
        except BaseException:
            _log.exception("kelvo: the error handler raised")

    def _raise_deferred(self) -> None:
        exc, self._deferred = self._deferred, None
        if exc is not None:
            raise exc


def _engine_ops(client_ops: Dict[str, N.Bound]) -> Dict[str, N.Bound]:
    engine = client_ops["QueryInterface"](byref(N.IID_IImClientEngine),
                                          N.IM_ENGINE_INTERFACE_VERSION)
    if not engine:
        raise KelvoError("the module has no shared loop (no IImClientEngine)")
    return N.bind(engine, N.ENGINE_OPS)


class SharedLoop:
    """The module's shared network loop, pumped by one thread (or greenlet)
    for every client on it: for hosts that run many clients in one process
    (load bots, test tools).

        loop = kelvo.SharedLoop()
        players = [kelvo.Client(shared_loop=True, keep_events=False) for _ in range(500)]
        ...                                  # handlers, connect, login
        while running:
            loop.wait(0.1)                   # or poll loop.wait_handle() in an event loop
            loop.pump()                      # every player's handlers run here

    A few loop threads of the module (cores + 1 unless set_threads() says
    otherwise) serve the sockets of every client made with
    Client(shared_loop=True); pump() runs the queued events of all of them
    on the calling thread, each client's in order, as its own pump() would.
    The loop starts with the first connect() of such a client and stops
    when the last one is released.

    The object holds a client of its own that never connects, only to reach
    the loop's operations: keep it as long as anything pumps or waits
    through it, and release() it (or leave its `with` block) afterwards.
    """

    def __init__(self, module: Optional[str] = None) -> None:
        create = N.load_module(module)
        self._ops: Optional[Dict[str, N.Bound]] = None
        self._engine: Optional[Dict[str, N.Bound]] = None
        ptr = create(byref(N.IID_IImClient), N.IM_INTERFACE_VERSION)
        if not ptr:
            raise KelvoError("CreateKelvoCore refused the interface or could not build a client")
        self._ops = N.bind(ptr, N.CLIENT_OPS)
        try:
            self._engine = _engine_ops(self._ops)
            # A member of the loop for as long as this object lives: the wait
            # handle stays the same descriptor while clients come and go.
            if not self._engine["UseSharedLoop"](1):
                raise KelvoError("the module refused the shared loop")
        except BaseException:
            self.release()
            raise

    def __enter__(self) -> "SharedLoop":
        return self

    def __exit__(self, *exc: object) -> None:
        self.release()

    def release(self) -> None:
        """Releases the object's own client. Safe to call twice."""
        ops, self._ops, self._engine = self._ops, None, None
        if ops is not None:
            ops["Release"]()

    @property
    def released(self) -> bool:
        return self._ops is None

    def _engine_or_raise(self, operation: str) -> Dict[str, N.Bound]:
        engine = self._engine
        if engine is None:
            raise ReleasedError("%s: the shared loop object was released" % operation)
        return engine

    def set_threads(self, threads: int) -> bool:
        """The loop's thread count, 1 to 64 (0: cores + 1). Only while the
        loop is not running (no client on it connected since it last
        stopped): False otherwise, and nothing changes."""
        if not 0 <= threads <= 64:
            raise ValueError("set_threads: 0 to 64 threads, not %d" % threads)
        return bool(self._engine_or_raise("set_threads")["SetSharedLoopThreads"](threads))

    def pump(self, max_events: int = 1024) -> int:
        """Runs up to `max_events` queued events of the clients on the loop
        on this thread (their handlers are called) and returns how many ran.
        Returns 0 at once from inside a handler and while another thread
        pumps the loop."""
        engine = self._engine_or_raise("pump")
        me = threading.get_ident()
        if _SharedPumping.thread == me or not _SharedPumping.lock.acquire(blocking=False):
            return 0
        try:
            _SharedPumping.thread = me
            ran = int(engine["PumpSharedLoop"](max_events))
        finally:
            _SharedPumping.thread = None
            exc, _SharedPumping.deferred = _SharedPumping.deferred, None
            _SharedPumping.lock.release()
        if exc is not None:
            raise exc
        return ran

    def wait(self, timeout: float) -> bool:
        """Sleeps until a client on the loop has an event queued or `timeout`
        seconds passed; True when one has. Blocks the thread: a host with an
        event loop of its own polls wait_handle() instead."""
        deadline = time.monotonic() + timeout
        while True:
            # In slices, so that Ctrl-C is not held up for long.
            engine = self._engine_or_raise("wait")
            left = deadline - time.monotonic()
            if engine["WaitSharedLoop"](max(0, min(100, int(left * 1000)))):
                return True
            if left <= 0.1:
                return False

    def wait_handle(self) -> Optional[int]:
        """What an event loop of the host waits on: on Linux a file
        descriptor that polls readable while a client on the loop has an
        event queued (do not read it; pump() resets it), on Windows an event
        HANDLE. The same value for as long as this object lives; None while
        the loop is not running (before the first connect())."""
        handle = int(self._engine_or_raise("wait_handle")["SharedLoopWaitHandle"]())
        return None if handle == -1 else handle
