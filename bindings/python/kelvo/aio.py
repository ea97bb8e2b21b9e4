"""asyncio face of the client.

    async with kelvo.aio.AsyncClient() as bot:
        await bot.connect("127.0.0.1", port)
        await bot.login(1002, "bob")
        async for ev in bot.events():
            ...

Events are pumped on the event loop's own thread, so handlers (client.on)
and everything the coroutines see run there, never on a thread of the
module's. A helper thread only sleeps in the module's WaitForEvents and,
when something is queued, asks the loop to pump; it never calls a handler
and never pumps. Requests (send_chat, add_user, ...) and local reads are the
synchronous ones of kelvo.Client: they do not block.

wait_for() returns the oldest matching event and keeps the others, in order,
for the next wait_for() or events(): nothing is dropped.
"""

import asyncio
import threading
from typing import (Any, AsyncIterator, Callable, List, Optional, Tuple, Type, TypeVar, Union,
                    overload)

from . import events as E
from .client import LOGIN_POLL_SECONDS, Client, Handler, Requests, _matcher
from .codes import LoginState
from .errors import Refusal, ReleasedError

EventT = TypeVar("EventT", bound=E.Event)

# How long the helper thread sleeps in the module per call; also the longest
# a release waits for it.
_WAIT_SLICE = 0.1


class AsyncClient(Requests):
    """A kelvo.Client driven by the running asyncio loop. Use it as
    `async with`, or await release() when done."""

    def __init__(self, module: Optional[str] = None,
                 on_error: Optional[Callable[[E.HandlerError], None]] = None) -> None:
        self.client = Client(module, on_error)
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._arrived: Optional[asyncio.Event] = None
        self._watcher: Optional[threading.Thread] = None
        self._armed = threading.Event()  # set: the helper may wait for the next event
        self._stop = False

    # ----- lifetime

    async def __aenter__(self) -> "AsyncClient":
        self._start()
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.release()

    @property
    def released(self) -> bool:
        return self.client.released

    async def release(self) -> None:
        """Stops the helper thread and releases the client. Safe twice."""
        self._stop = True
        self._armed.set()
        watcher, self._watcher = self._watcher, None
        if watcher is not None:
            await asyncio.get_running_loop().run_in_executor(None, watcher.join)
        self.client.release()
        if self._arrived is not None:
            self._arrived.set()  # wakes waiters, who then see the release

    def _start(self) -> asyncio.AbstractEventLoop:
        loop = asyncio.get_running_loop()
        if self._loop is None:
            self._loop = loop
            self._arrived = asyncio.Event()
            self._watcher = threading.Thread(target=self._watch, name="kelvo-aio-wait",
                                             daemon=True)
            self._armed.set()
            self._watcher.start()
        elif self._loop is not loop:
            raise RuntimeError("AsyncClient is bound to the event loop it was first used on")
        return loop

    def _watch(self) -> None:
        loop = self._loop
        assert loop is not None
        while True:
            self._armed.wait()
            if self._stop or self.client.released:
                return
            if self.client.wait_for_events(_WAIT_SLICE):
                # Disarmed until the loop has pumped: the event stays queued
                # until then, and waiting again would return at once.
                self._armed.clear()
                try:
                    loop.call_soon_threadsafe(self._pump)
                except RuntimeError:  # the loop is closed
                    return

    def _pump(self) -> None:
        try:
            self.client._pump_native(256)
        finally:
            if self._arrived is not None:
                self._arrived.set()
            self._armed.set()

    # ----- events

    @overload
    def on(self, event_type: Type[EventT]) -> Callable[[Handler[EventT]], Handler[EventT]]: ...

    @overload
    def on(self, event_type: Type[EventT], handler: Handler[EventT]) -> Handler[EventT]: ...

    def on(self, event_type: Type[EventT], handler: Optional[Handler[EventT]] = None) -> Any:
        """As Client.on: the handler runs on the loop's thread as events arrive."""
        if handler is None:
            return self.client.on(event_type)
        return self.client.on(event_type, handler)

    def off(self, event_type: Type[EventT], handler: Handler[EventT]) -> None:
        self.client.off(event_type, handler)

    async def _next(self, test: Callable[[E.Event], bool], after: int,
                    timeout: Optional[float]) -> Optional[E.Event]:
        """The first waiting event after arrival `after` that passes `test`,
        waiting up to `timeout` seconds (None: until released) for it; None
        when the time is up or the client is released."""
        loop = self._start()
        arrived = self._arrived
        assert arrived is not None
        deadline = None if timeout is None else loop.time() + timeout
        while True:
            found = self.client._take(test, after)
            if found is not None:
                return found
            if self.client.released:
                return None
            left = None if deadline is None else deadline - loop.time()
            if left is not None and left <= 0:
                return None
            # No await between the look and the clear: a pump cannot slip in.
            arrived.clear()
            try:
                await asyncio.wait_for(arrived.wait(), left)
            except asyncio.TimeoutError:
                pass

    @overload
    async def wait_for(self, match: Type[EventT], timeout: float = 5.0) -> EventT: ...

    @overload
    async def wait_for(self, match: Callable[[E.Event], bool],
                       timeout: float = 5.0) -> E.Event: ...

    async def wait_for(self, match: Any, timeout: float = 5.0) -> Any:
        """The oldest waiting event that matches (a class, or a predicate),
        waiting for one to arrive. The others stay for later calls. Raises
        TimeoutError, or ReleasedError once the client is released."""
        return await self._wait_after(_matcher(match), 0, timeout, "wait_for")

    async def _wait_after(self, test: Callable[[E.Event], bool], after: int, timeout: float,
                          what: str) -> Any:
        found = await self._next(test, after, timeout)
        if found is None:
            if self.client.released:
                raise ReleasedError("%s: the client was released" % what)
            raise TimeoutError("%s: no matching event within %.1f s" % (what, timeout))
        return found

    async def events(self, timeout: Optional[float] = None) -> AsyncIterator[E.Event]:
        """Yields every event as it arrives (those waiting first), until the
        client is released or `timeout` seconds pass without an event."""
        while True:
            ev = await self._next(lambda e: True, 0, timeout)
            if ev is None:
                return
            yield ev

    def pump_now(self) -> List[E.Event]:
        """Pumps at once and takes every waiting event (as Client.pump)."""
        return self.client.pump()

    # ----- connection and login: send, then await the answer

    async def connect(self, host: str, port: int, proxy: Optional[Tuple[str, int]] = None,
                      proxy_param: int = 0, timeout: float = 15.0) -> E.Connected:
        """Connects and returns the outcome (check .ok). Raises NotSent when a
        connection is up or under way, TimeoutError after `timeout` s."""
        self._start()
        mark = self.client._mark()
        self.client.connect(host, port, proxy, proxy_param)
        connected: E.Connected = await self._wait_after(
            lambda e: isinstance(e, E.Connected), mark, timeout, "connect")
        return connected

    async def login(self, user_id: int, password: Union[str, bytes],
                    extra: Optional[bytes] = None, timeout: float = 10.0) -> E.LoginResult:
        """Logs in and returns the server's answer (check .ok and .text)."""
        self._start()
        mark = self.client._mark()
        self.client.login(user_id, password, extra)
        result: E.LoginResult = await self._wait_after(
            lambda e: isinstance(e, E.LoginResult), mark, timeout, "login")
        return result

    @property
    def login_state(self) -> LoginState:
        """As Client.login_state."""
        return self.client.login_state

    async def login_complete(self, timeout: Optional[float] = 10.0) -> bool:
        """True once the login is complete (login_state COMPLETE: my_info,
        the groups and the first friend list are in); False at once when no
        login is under way, or when it ends first (refused, logged out,
        connection closed or lost). TimeoutError after `timeout` seconds
        (None: no limit), ReleasedError when the client is released."""
        loop = self._start()
        arrived = self._arrived
        assert arrived is not None
        deadline = None if timeout is None else loop.time() + timeout
        while True:
            if self.client.released:
                raise ReleasedError("login_complete: the client was released")
            state = self.client.login_state
            if state is LoginState.COMPLETE:
                return True
            if state is LoginState.NONE:
                return False
            left = LOGIN_POLL_SECONDS if deadline is None else deadline - loop.time()
            if left <= 0:
                raise TimeoutError("login not complete within %s s (%s)"
                                   % (timeout, state.name))
            # Each pump wakes us; the timer catches the quiet second that
            # completes a login without an event.
            arrived.clear()
            try:
                await asyncio.wait_for(arrived.wait(), min(left, LOGIN_POLL_SECONDS))
            except asyncio.TimeoutError:
                pass

    def close(self) -> bool:
        """Empties the tables and closes the connection; no Closed event."""
        return self.client.close()

    # ----- the requests and reads of Requests go to the client

    def _call(self, operation: str, op: str, *args: Any) -> Any:
        return self.client._call(operation, op, *args)

    def _enumerate(self, call: Callable[[int], None]) -> List[Any]:
        return self.client._enumerate(call)

    def _why_not_sent(self) -> Refusal:
        return self.client._why_not_sent()
