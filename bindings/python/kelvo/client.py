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
from typing import Callable, Deque, Iterator, List, Optional, Type, Union

from . import _native as N
from . import events as E

_log = logging.getLogger("kelvo")

Handler = Callable[[E.Event], None]


class KelvoError(RuntimeError):
    pass


class ReleasedError(KelvoError):
    """The client was released; only pump(), events() and release() still
    answer (with nothing)."""


def password_digest(password: str) -> bytes:
    """The 16 bytes kelvo-server expects: the MD5 of the UTF-8 password."""
    return hashlib.md5(password.encode("utf-8")).digest()


def _gbk(text: Union[str, bytes], what: str) -> bytes:
    raw = text.encode(E.ENCODING) if isinstance(text, str) else bytes(text)
    if b"\0" in raw:
        # The module reads up to the first NUL; refuse rather than send less.
        raise ValueError("%s contains a NUL character" % what)
    return raw


def _ipv4(host: str) -> int:
    return int(ipaddress.IPv4Address(host))  # host byte order, as Connect wants


class Client:
    """One client object of the module. Use as a context manager, or call
    release() when done (safe to call twice)."""

    def __init__(self, module: Optional[str] = None,
                 on_error: Optional[Callable[[E.HandlerError], None]] = None):
        create = N.load_module(module)
        self._on_error = on_error
        self._handlers = {}  # event class -> [handler]
        self._ready: Deque[E.Event] = collections.deque()
        self._deferred: Optional[BaseException] = None
        self._enums = {}
        self._enum_ids = itertools.count(1)
        # Pump and release never overlap: releasing from another thread waits
        # for the pump under way. Re-entrant so a handler may release.
        self._life_lock = threading.RLock()
        self._pump_thread = None
        self._release_asked = False
        self._ptr = None
        self._ops = None
        self._pump_ops = None
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
            if not self._ops["SetSink"](ctypes.addressof(self._sink)):
                raise KelvoError("the module did not accept the sink")
        except BaseException:
            self.release()
            raise

    # ----- lifetime

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc) -> None:
        self.release()

    def __del__(self):
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
            self._ops = self._pump_ops = self._ptr = None
            ops["Release"]()
        finally:
            self._life_lock.release()
        # The sink's callbacks are kept (self._callbacks) for as long as this
        # object lives: a handler running right now is executing one of them.

    def _op(self, name: str):
        ops = self._ops
        if ops is None:
            raise ReleasedError("the client was released")
        return ops[name]

    # ----- events

    def on(self, event_type: Type[E.Event] = E.Event, handler: Optional[Handler] = None):
        """Calls `handler(event)` for every event that is an `event_type`
        (E.Event: all). Usable as a decorator: @client.on(ChatMessage)."""
        def register(h):
            self._handlers.setdefault(event_type, []).append(h)
            return h
        return register(handler) if handler is not None else register

    def off(self, event_type: Type[E.Event], handler: Handler) -> None:
        self._handlers.get(event_type, []).remove(handler)

    def pump(self, max_events: int = 256) -> List[E.Event]:
        """Runs up to `max_events` queued events on this thread (their handlers
        are called) and returns every event object not yet taken, in arrival
        order: those just run, those an earlier events() or wait_for() left,
        any HandlerError, and events raised outside a pump (such as the Log of
        request_friend)."""
        if self._in_handler():
            return []  # the outer pump goes on and returns them
        self._pump_native(max_events)
        batch = []
        while self._ready:
            batch.append(self._ready.popleft())
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
        return self._pump_thread == threading.get_ident()

    def pending_events(self) -> int:
        return self._pump_ops_or_raise()["PendingEvents"]()

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
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            while self._ready:
                yield self._ready.popleft()
            if self.released:
                return
            self._pump_native(256)
            if self._ready:
                continue
            left = 0.1 if deadline is None else min(0.1, deadline - time.monotonic())
            if left <= 0:
                return
            self.wait_for_events(left)

    def wait_for(self, match: Union[Type[E.Event], Callable[[E.Event], bool]],
                 timeout: float = 5.0) -> E.Event:
        """Pumps until an event matches (a class, or a predicate) and returns it.
        Events before it went to the handlers as usual and are dropped; those
        after it stay for the next call. Raises TimeoutError."""
        test = (lambda ev: isinstance(ev, match)) if isinstance(match, type) else match
        for ev in self.events(timeout):
            if test(ev):
                return ev
        raise TimeoutError("no matching event within %.1f s" % timeout)

    # ----- connection and requests (True: handed to the network library)

    def connect(self, host: str, port: int, proxy: Optional[tuple] = None,
                proxy_param: int = 0) -> bool:
        """Starts connecting to the IPv4 `host`:`port`, through the SOCKS5
        proxy (host, port) when given. The outcome arrives as Connected."""
        addr = N.ServerAddress(_ipv4(host), port, 0, proxy_param, 0)
        if proxy is not None:
            addr.proxyIp, addr.proxyPort = _ipv4(proxy[0]), proxy[1]
        return self._op("Connect")(byref(addr))

    def close(self) -> bool:
        return self._op("Close")()

    def login(self, user_id: int, password: Union[str, bytes],
              extra: Optional[bytes] = None) -> bool:
        """`password`: the 16-byte digest, or a text hashed by password_digest."""
        digest = password_digest(password) if isinstance(password, str) else bytes(password)
        if len(digest) != 16:
            raise ValueError("the password digest is 16 bytes")
        extra_buf = None
        if extra is not None:
            if len(extra) > 33:
                raise ValueError("extra is at most 33 bytes")
            extra_buf = (c_uint8 * 33).from_buffer_copy(bytes(extra).ljust(33, b"\0"))
        pw = (c_uint8 * 16).from_buffer_copy(digest)
        return self._op("Login")(user_id, pw, extra_buf)

    def logout(self, user_id: Optional[int] = None) -> bool:
        if user_id is None:
            me = self.my_info
            user_id = me.user_id if me else 0
        return self._op("Logout")(user_id)

    def add_user(self, value1: int, value2: int, value3: int) -> bool:
        return self._op("AddUser")(value1, value2, value3)

    def remove_user(self, user_id: int) -> bool:
        return self._op("RemoveUser")(user_id)

    def add_group(self, value1: int, value2: int, name: Union[str, bytes]) -> bool:
        return self._op("AddGroup")(value1, value2, _gbk(name, "name"))

    def delete_group(self, group_id: int) -> bool:
        return self._op("DeleteGroup")(group_id)

    def rename_group(self, group_id: int, name: Union[str, bytes]) -> bool:
        return self._op("RenameGroup")(group_id, _gbk(name, "name"))

    def move_user(self, value1: int, value2: int, value3: int) -> bool:
        return self._op("MoveUser")(value1, value2, value3)

    def send_chat(self, peer_user_id: int, text: Union[str, bytes], value: int = 0,
                  chat1: int = 0, chat2: int = 0, chat3: int = 0) -> bool:
        """False when the GBK text is empty or over 255 bytes, or not sent."""
        return self._op("SendChatMessage")(peer_user_id, value, _gbk(text, "text"),
                                           chat1, chat2, chat3)

    def request_friend(self, ignored: int = 0) -> None:
        self._op("Request_friend")(ignored)
        self._raise_deferred()

    def reply_add_request(self, user_id: int, value: int, accept: bool) -> bool:
        return self._op("ReplyAddRequest")(user_id, value, bool(accept))

    def enter_game_server(self, game_server_id: int) -> bool:
        return self._op("EnterGameServer")(game_server_id)

    def leave_game_server(self, game_server_id: int) -> bool:
        return self._op("LeaveGameServer")(game_server_id)

    def search_user(self, value1: int = 0, value2: int = 0,
                    name: Union[str, bytes, None] = None) -> bool:
        raw = None if name is None else _gbk(name, "name")
        return self._op("SearchUser")(value1, value2, raw)

    # ----- local reads (no message sent)

    def users(self, relation: int = 0, group_id: int = 0, game_server_id: int = 0,
              online_state: int = 0) -> List[E.User]:
        """Friends matching every nonzero filter, in ascending id order."""
        fn = self._op("EnumUsers")
        return self._enumerate(lambda ctx: fn(ctx, relation, group_id, game_server_id,
                                              online_state))

    def add_requests(self) -> List[E.User]:
        fn = self._op("EnumAddRequests")
        return self._enumerate(fn)

    def groups(self, group_kind: int = 0) -> List[E.Group]:
        fn = self._op("EnumGroups")
        return self._enumerate(lambda ctx: fn(ctx, group_kind))

    def get_user(self, user_id: int) -> Optional[E.User]:
        rec = N.UserRecord()
        return E.User.from_record(rec) if self._op("GetUser")(user_id, byref(rec)) else None

    def get_add_request(self, user_id: int) -> Optional[E.User]:
        rec = N.UserRecord()
        found = self._op("GetAddRequest")(user_id, byref(rec))
        return E.User.from_record(rec) if found else None

    def get_group(self, group_id: int) -> Optional[E.Group]:
        rec = N.GroupRecord()
        return E.Group.from_record(rec) if self._op("GetGroup")(group_id, byref(rec)) else None

    @property
    def my_info(self) -> Optional[E.User]:
        """A copy of the own record, or None until own data has arrived."""
        p = self._op("GetMyInfo")()
        return E.User.from_record(p.contents) if p else None

    @property
    def is_gm(self) -> bool:
        return self._op("IsGm")()

    def _enumerate(self, call) -> list:
        ctx = next(self._enum_ids) & 0xFFFFFFFF
        self._enums[ctx] = found = []
        try:
            call(ctx)
        finally:
            del self._enums[ctx]
        self._raise_deferred()
        return found

    def _pump_ops_or_raise(self):
        ops = self._pump_ops
        if ops is None:
            raise ReleasedError("the client was released")
        return ops

    # ----- the sink

    def _build_sink(self) -> None:
        user = E.User.from_record
        group = E.Group.from_record
        s = ctypes.string_at

        def opt(conv, p):
            return conv(p.contents) if p else None

        def text(p):
            return E.decode(s(p)) if p else ""

        events = {
            "OnConnect": lambda st: E.Connected(st == 1),
            "OnClose": lambda r: E.Closed(r),
            "OnServerInfo": lambda: E.ServerInfo(),
            "OnLoginResult": lambda r, t: E.LoginResult(r, text(t)),
            "OnLogout": lambda: E.LoggedOut(),
            "OnAddUserResult": lambda r, u: E.AddUserResult(r, opt(user, u)),
            "OnRemoveUserResult": lambda r, i: E.RemoveUserResult(r, i),
            "OnAddGroupResult": lambda r, g: E.AddGroupResult(r, opt(group, g)),
            "OnDeleteGroupResult": lambda r, i: E.DeleteGroupResult(r, i),
            "OnUpdateGroupResult": lambda r, i: E.UpdateGroupResult(r, i),
            "OnMoveUserResult": lambda r, i: E.MoveUserResult(r, i),
            "OnChatMessage": lambda k, snd, t, a, b, c: E.ChatMessage(k, snd, text(t), a, b, c),
            "OnChatMessageEx": lambda k, snd, v, t, a, b, c:
                E.ChatMessage(k, snd, text(t), a, b, c, v),
            "OnOfflineMessage": lambda k, snd, v, t, a, b, c, blk, x:
                E.OfflineMessage(k, snd, v, text(t), a, b, c, s(blk, 38) if blk else b"", x),
            "OnAddUserRequest": lambda i: E.AddUserRequest(i),
            "OnAddUserReply": lambda r, u: E.AddUserReply(r, opt(user, u)),
            "OnOnlineStateChanged": lambda i: E.OnlineStateChanged(i),
            "OnUserEnterGameServer": lambda i: E.UserEnteredGameServer(i),
            "OnUserLeaveGameServer": lambda i: E.UserLeftGameServer(i),
            "OnLog": lambda t: E.Log(text(t)),
            "OnSearchUserResult": lambda r: E.SearchUserResult(E.SearchResult(
                r.contents.value1, r.contents.value2, r.contents.value3, r.contents.value4)),
            "OnSearchUserListItem": lambda u: E.SearchUserListItem(user(u.contents)),
            "OnSearchUserListEnd": lambda n: E.SearchUserListEnd(n),
        }
        enums = {"OnEnumUser": user, "OnEnumAddRequest": user, "OnEnumGroup": group}

        def make(name, restype, argtypes):
            proto = N.FUNCTYPE(restype, c_void_p, *argtypes)
            if name == "IsValid":
                return proto(lambda this: True)
            if name == "Release":
                return proto(lambda this: True)  # the sink is ours; nothing to free
            if name == "QueryInterface":
                return proto(self._sink_query)
            if name in enums:
                conv = enums[name]

                def on_enum(this, ctx, rec):
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
            conv = events[name]

            def on_event(this, *args):
                try:
                    ev = conv(*args)
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

    def _sink_query(self, this, iid, version):
        try:
            if iid and bytes(iid.contents) in (bytes(N.IID_IImClientSink), bytes(N.IID_IImBase)) \
                    and (version >> 16) == 0x0101:
                return ctypes.addressof(self._sink)
        except BaseException as exc:
            self._handler_failed(None, exc)
        return None

    def _deliver(self, ev: E.Event) -> None:
        self._ready.append(ev)
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
                if self._deferred is None:
                    self._deferred = exc
                return
            report = E.HandlerError(ev, exc)
            self._ready.append(report)
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
