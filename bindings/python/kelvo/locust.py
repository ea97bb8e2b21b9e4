"""Locust users over the binding: simulated players for load tests that one
machine cannot hold, run by Locust's own master and workers.

    from locust import task, constant_pacing
    from kelvo.locust import KelvoUser

    class Player(KelvoUser):
        wait_time = constant_pacing(2)

        @task
        def chat(self):
            peer = self.client.random_peer()
            if peer is not None:
                self.client.chat(peer)          # "chat", timed by the peer's answer

    locust -f players.py --host 127.0.0.1:7000 --kelvo-first-id 100000 ...

Needs Locust (Debian: python3-locust), which importing `kelvo` alone never
does. Every player is a kelvo.Client on the module's shared network loop;
one greenlet per process pumps them all, waiting on the loop's wait handle
through gevent's hub, so no thread blocks and the other greenlets run.

Each player connects and logs in on start (an account from the seed file or
the numbered range the command line names, handed out by the master so
that no two players of a distributed run share one) and is released on
stop. Its tasks begin once the login is complete: own data (my_info),
groups and friends are in. Every request that has an answer is reported to Locust's statistics
with the time until the answer came:

    type        name               answered by
    connect     connect            the connection's outcome
    login       login              the server's login answer
    chat        round trip         the peer's "kb pong" to our "kb ping"
    search      search_user        the end of the result list
    friend      add_user           the other player's accept (or a refusal)
    friend      remove_user        the server
    move        enter_game_server  the first friend in this process who is told
    connection  lost               (a failure only: the connection ended)

and every failure with its reason: "LoginRefused: 密码错误" (the server's
text), "ConnectionLost: connection closed by peer" (the module's reason
line), "NoAnswer: no answer within 10 s", "ConnectFailed: connection
refused", "Refused: ..." for an answer that says no.

Players answer every "kb ping <n>" chat with "kb pong <n>" (as kelvo-bots
do, so either can be the peer of the other) and accept every friend
request, so a round trip needs no echo account.
"""

import collections
import logging
import random
import socket
import time
from dataclasses import dataclass
from typing import Any, Callable, Deque, Dict, List, NoReturn, Optional, Set, Tuple

try:
    import locust.runners
except ImportError as exc:  # the binding itself needs nothing else
    raise ImportError("kelvo.locust needs Locust 2.12 or newer (Debian: python3-locust; "
                      "pip install locust)") from exc
import gevent  # type: ignore[import]
import gevent.event  # type: ignore[import]
from locust import User, events
from locust.env import Environment
from locust.exception import StopUser
from locust.runners import MasterRunner, WorkerRunner

import kelvo

from . import events as E
from .client import LOGIN_POLL_SECONDS, Client, SharedLoop

_log = logging.getLogger("kelvo.locust")

# Debian 12's python3-locust (2.12.1-1) is built with an empty version text.
# Its workers announce themselves to the master with that text, and the
# master turns an empty one away as an "old (pre 2.0) worker": no
# distributed run gets going. Master and workers both import this module,
# so giving them the same non-empty text here lets them meet.
if not getattr(locust.runners, "__version__", "x"):
    setattr(locust.runners, "__version__", "unversioned")

PING = "kb ping "
PONG = "kb pong "

__all__ = ["KelvoUser", "KelvoPlayer", "Account", "KelvoFailure", "ConnectFailed",
           "LoginRefused", "ConnectionLost", "NoAnswer", "Refused", "Unsent", "players"]


# ----- failures, as Locust's statistics show them


class KelvoFailure(Exception):
    """Why a request failed; Locust's failure table shows "Class: reason"."""

    def __repr__(self) -> str:
        return "%s: %s" % (type(self).__name__, self.args[0] if self.args else "")


class ConnectFailed(KelvoFailure):
    """The connection could not be made (the module's reason line)."""


class LoginRefused(KelvoFailure):
    """The server refused the login (its text)."""


class ConnectionLost(KelvoFailure):
    """The connection ended while the player was on (the module's reason
    line), or the server logged the player out."""


class NoAnswer(KelvoFailure):
    """No answer within the time allowed."""


class Refused(KelvoFailure):
    """The answer said no (a refused or declined friend request, ...)."""


class Unsent(KelvoFailure):
    """The request was not sent (the binding's reason)."""


# ----- accounts


@dataclass(frozen=True)
class Account:
    user_id: int
    password: str


def read_seed_accounts(path: str) -> List[Account]:
    """The `user <id> <name> <password>` records of a kelvo-server seed file,
    in file order."""
    accounts: List[Account] = []
    seen: Set[int] = set()
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            words = line.split("#", 1)[0].split()
            if not words or words[0] != "user":
                continue
            if len(words) < 4 or not words[1].isdigit() or not 0 < int(words[1]) <= 0xFFFFFFFF:
                raise ValueError("%s:%d: expected user <id> <name> <password>" % (path, number))
            user_id = int(words[1])
            if user_id in seen:
                raise ValueError("%s:%d: user %d is defined twice" % (path, number, user_id))
            seen.add(user_id)
            accounts.append(Account(user_id, words[3]))
    if not accounts:
        raise ValueError("%s: no user records" % path)
    return accounts


class AccountSource:
    """The accounts of a run, by slot: slot i is the i-th user record of the
    seed file, or first_id + i with the password pattern ("{id}" stands for
    the account's id)."""

    def __init__(self, seed: Optional[str], first_id: Optional[int], password: str) -> None:
        if bool(seed) == (first_id is not None):
            raise ValueError("give either --kelvo-seed FILE or --kelvo-first-id ID")
        self.seed = read_seed_accounts(seed) if seed else None
        self.first_id = first_id or 0
        self.password = password
        if first_id is not None and not 0 < first_id <= 0xFFFFFFFF:
            raise ValueError("--kelvo-first-id must be 1 to 4294967295")

    def __len__(self) -> int:
        if self.seed is not None:
            return len(self.seed)
        return 0xFFFFFFFF - self.first_id + 1

    def slot(self, i: int) -> Account:
        if i >= len(self):
            raise IndexError("every account is in use (%d accounts)" % len(self))
        if self.seed is not None:
            return self.seed[i]
        user_id = self.first_id + i
        return Account(user_id, self.password.replace("{id}", str(user_id)))

    @classmethod
    def from_options(cls, options: Any) -> "AccountSource":
        first = getattr(options, "kelvo_first_id", None) or None
        return cls(getattr(options, "kelvo_seed", None) or None,
                   None if first is None else int(first),
                   getattr(options, "kelvo_password", None) or "bot{id}")


class _AccountPool:
    """Hands accounts to the players of this process. Standalone, it counts
    slots itself; as a worker it asks the master, which counts them for the
    whole run, so no two players anywhere share an account (a second login
    would push the first out). Accounts of stopped players are used again
    by this process first."""

    def __init__(self) -> None:
        self.environment: Optional[Environment] = None
        self.source: Optional[AccountSource] = None
        self.next_slot = 0
        self.free: List[Account] = []
        self.waiting: Deque[gevent.event.AsyncResult] = collections.deque()
        self.asked = 0          # worker: accounts asked of the master, not yet granted
        self.asker: Optional[gevent.Greenlet] = None

    def reset(self) -> None:
        self.next_slot = 0
        self.free.clear()

    def _local_source(self) -> AccountSource:
        if self.source is None:
            assert self.environment is not None
            self.source = AccountSource.from_options(self.environment.parsed_options)
        return self.source

    def take(self, environment: Environment) -> Account:
        self.environment = environment
        if self.free:
            return self.free.pop()
        if not isinstance(environment.runner, WorkerRunner):
            account = self._local_source().slot(self.next_slot)
            self.next_slot += 1
            return account
        result = gevent.event.AsyncResult()
        self.waiting.append(result)
        if self.asker is None:
            # Players that start together share one request to the master.
            self.asker = gevent.spawn_later(0.01, self._ask)
        granted: Account = result.get()
        return granted

    def _ask(self) -> None:
        self.asker = None
        count = len(self.waiting) - self.asked
        runner = self.environment.runner if self.environment is not None else None
        if count > 0 and isinstance(runner, WorkerRunner):
            self.asked += count
            runner.send_message("kelvo_accounts", {"count": count})

    def granted(self, accounts: List[Tuple[int, str]], error: Optional[str]) -> None:
        self.asked = max(0, self.asked - len(accounts) - (1 if error else 0))
        for user_id, password in accounts:
            if self.waiting:
                self.waiting.popleft().set(Account(user_id, password))
            else:
                self.free.append(Account(user_id, password))
        if error:
            while self.waiting:
                self.waiting.popleft().set_exception(KelvoFailure(error))
            self.asked = 0

    def give_back(self, account: Account) -> None:
        if self.waiting:
            self.waiting.popleft().set(account)
        else:
            self.free.append(account)

    # The master's side.
    def grant(self, environment: Environment, count: int) -> Tuple[List[Tuple[int, str]],
                                                                   Optional[str]]:
        self.environment = environment
        accounts: List[Tuple[int, str]] = []
        try:
            source = self._local_source()
            for _ in range(count):
                a = source.slot(self.next_slot)
                self.next_slot += 1
                accounts.append((a.user_id, a.password))
        except (OSError, ValueError, IndexError) as exc:
            return accounts, str(exc)
        return accounts, None


_accounts = _AccountPool()


def _listen(hook: Any) -> Callable[[Callable[..., None]], Callable[..., None]]:
    """Registers a listener of a Locust event hook (the hooks are untyped)."""
    def register(fn: Callable[..., None]) -> Callable[..., None]:
        hook.add_listener(fn)
        return fn
    return register


@_listen(events.init_command_line_parser)
def _add_arguments(parser: Any) -> None:
    group = parser.add_argument_group("kelvo", "Players of the kelvo.locust user classes")
    group.add_argument("--kelvo-seed", type=str, env_var="KELVO_SEED", default="",
                       help="log the players in with the user records of this kelvo-server "
                            "seed file, in order (read on the master)")
    group.add_argument("--kelvo-first-id", type=int, env_var="KELVO_FIRST_ID", default=0,
                       help="log the players in as ID, ID+1, ... (instead of a seed file)")
    group.add_argument("--kelvo-password", type=str, env_var="KELVO_PASSWORD",
                       default="bot{id}",
                       help="password of the numbered accounts; {id} stands for the id "
                            "(default bot{id}, as kelvo-bots --write-seed writes them)")
    group.add_argument("--kelvo-timeout", type=float, env_var="KELVO_TIMEOUT", default=10.0,
                       help="seconds to wait for an answer before the request fails "
                            "(default 10)")
    group.add_argument("--kelvo-loop-threads", type=int, env_var="KELVO_LOOP_THREADS",
                       default=0, help="threads of the module's shared network loop in each "
                                       "worker process (default: the module's choice)")


@_listen(events.init)
def _on_init(environment: Environment, **_: Any) -> None:
    runner = environment.runner
    if isinstance(runner, MasterRunner):
        master: MasterRunner = runner

        def on_request(environment: Environment, msg: Any, **_: Any) -> None:
            accounts, error = _accounts.grant(environment, int(msg.data["count"]))
            if error:
                _log.error("kelvo: cannot hand out accounts: %s", error)
            master.send_message("kelvo_accounts_granted",
                                {"accounts": accounts, "error": error}, client_id=msg.node_id)
        runner.register_message("kelvo_accounts", on_request)
    elif isinstance(runner, WorkerRunner):
        def on_granted(environment: Environment, msg: Any, **_: Any) -> None:
            _accounts.granted([(int(i), str(p)) for i, p in msg.data["accounts"]],
                              msg.data.get("error"))
        runner.register_message("kelvo_accounts_granted", on_granted)


@_listen(events.test_start)
def _on_test_start(environment: Environment, **_: Any) -> None:
    # A new run hands out the accounts from the first again (every player
    # of the last run has stopped).
    _accounts.reset()


# ----- the process's shared loop and its pumping greenlet


class _Pumper:
    """One greenlet pumps every player of the process: it waits on the
    shared loop's wait handle with gevent's hub (an io watcher), pumps a
    batch, lets the woken greenlets run, and goes on. Handlers run inside
    the pump, on this greenlet; they must not switch greenlets (the module
    is inside a callback), so what must happen outside (firing Locust's
    events) is queued in `after` and run once the pump returned."""

    BATCH = 1024

    def __init__(self) -> None:
        self.loop: Optional[SharedLoop] = None
        self.greenlet: Optional[gevent.Greenlet] = None
        self.members = 0
        self.after: List[Callable[[], None]] = []
        self.started = gevent.event.Event()

    def join(self, threads: int) -> None:
        if self.loop is None:
            # Kept for the process's life: its wait handle stays one descriptor.
            self.loop = SharedLoop()
            if threads:
                self.loop.set_threads(threads)
        self.members += 1
        if self.greenlet is None or self.greenlet.dead:
            self.greenlet = gevent.spawn(self._run)

    def leave(self) -> None:
        self.members -= 1
        self.started.set()  # wakes a pumper waiting for the loop, to see it

    def defer(self, work: Callable[[], None]) -> None:
        self.after.append(work)

    def _run_after(self) -> None:
        while self.after:
            work, self.after = self.after, []
            for w in work:
                try:
                    w()
                except Exception:
                    _log.exception("kelvo: reporting failed")

    def _run(self) -> None:
        loop = self.loop
        assert loop is not None
        hub = gevent.get_hub()
        watcher: Any = None
        while self.members > 0 or self.after:
            ran = loop.pump(self.BATCH)
            self._run_after()
            if ran >= self.BATCH:
                gevent.sleep(0)  # more is queued: the woken players first
                continue
            handle = loop.wait_handle()
            if handle is None:
                # Not running yet (no player connected): a connect wakes us.
                self.started.clear()
                self.started.wait(0.1)
                continue
            if watcher is None or watcher.fd != handle:
                watcher = hub.loop.io(handle, 1)
            with gevent.Timeout(0.5, False):
                hub.wait(watcher)
        self.greenlet = None


_pumper = _Pumper()


class _Players:
    """The logged-in players of this process, by user id, with a random pick
    that costs the same for ten players as for ten thousand."""

    def __init__(self) -> None:
        self._by_id: Dict[int, "KelvoPlayer"] = {}
        self._ids: List[int] = []
        self._index: Dict[int, int] = {}

    def add(self, player: "KelvoPlayer") -> None:
        assert player.user_id is not None
        if player.user_id not in self._by_id:
            self._index[player.user_id] = len(self._ids)
            self._ids.append(player.user_id)
        self._by_id[player.user_id] = player

    def remove(self, player: "KelvoPlayer") -> bool:
        user_id = player.user_id
        if user_id is None or self._by_id.get(user_id) is not player:
            return False
        del self._by_id[user_id]
        at = self._index.pop(user_id)
        last = self._ids.pop()
        if last != user_id:
            self._ids[at] = last
            self._index[last] = at
        return True

    def get(self, user_id: int) -> Optional["KelvoPlayer"]:
        return self._by_id.get(user_id)

    def __contains__(self, user_id: object) -> bool:
        return user_id in self._by_id

    def __len__(self) -> int:
        return len(self._ids)

    def values(self) -> List["KelvoPlayer"]:
        return list(self._by_id.values())

    def random_id(self) -> int:
        return self._ids[random.randrange(len(self._ids))]


#: The logged-in players of this process.
players = _Players()


# ----- one player

# The answer to a move that nobody was left to see: not reported.
_UNSEEN = object()


class _Wait:
    __slots__ = ("result", "sent", "extra")

    def __init__(self, extra: Any = None) -> None:
        self.result = gevent.event.AsyncResult()
        self.sent = time.perf_counter()
        self.extra = extra


class KelvoPlayer:
    """`self.client` of a KelvoUser: a kelvo.Client on the shared loop whose
    answered requests block the player's greenlet (not the others) until
    the answer comes, and are reported to Locust's statistics. Every other
    request and local read of kelvo.Client (send_chat, leave_game_server,
    users(), get_user(), my_info, ...) is reachable here too, unreported.

    Each reported request takes `name=` for Locust's name column, as
    Locust's HTTP clients do. A request that fails returns None (or False);
    the failure is in the statistics. A lost connection is reported once
    ("connection", "lost"), and the player is out (KelvoUser.out) at its
    next call."""

    def __init__(self, user: "KelvoUser") -> None:
        self.user = user
        self.environment: Environment = user.environment
        options = self.environment.parsed_options
        self.timeout = float(getattr(options, "kelvo_timeout", 0) or user.answer_timeout)
        _pumper.join(int(getattr(options, "kelvo_loop_threads", 0) or 0))
        self.kelvo = Client(shared_loop=True, keep_events=False, on_error=self._handler_error)
        self.user_id: Optional[int] = None
        self.logged_in = False
        self.lost: Optional[str] = None
        self._link_note = ""
        self._waits: Dict[Tuple[Any, ...], _Wait] = {}
        self._search_found: List[E.User] = []
        c = self.kelvo
        c.on(E.Log, self._on_log)
        c.on(E.Connected, self._on_connected)
        c.on(E.Closed, self._on_closed)
        c.on(E.LoginResult, self._on_login)
        c.on(E.LoggedOut, self._on_logged_out)
        c.on(E.ChatMessage, self._on_chat)
        c.on(E.SearchUserListItem, lambda ev: self._search_found.append(ev.user))
        c.on(E.SearchUserListEnd, self._on_search_end)
        c.on(E.AddUserRequest, self._on_add_request)
        c.on(E.AddUserResult, self._on_add_result)
        c.on(E.AddUserReply, self._on_add_reply)
        c.on(E.RemoveUserResult, self._on_remove_result)
        c.on(E.UserEnteredGameServer, self._on_entered)

    def __getattr__(self, name: str) -> Any:
        # The unreported requests and reads of kelvo.Client; a player that
        # is out does nothing more.
        if name in ("kelvo", "lost", "user"):
            raise AttributeError(name)  # not set yet: no recursion
        if self.lost is not None:
            self.user.out()
        return getattr(self.kelvo, name)

    # ----- reporting

    def _report(self, request_type: str, name: str, response_time: float, length: int,
                exception: Optional[BaseException]) -> None:
        hook: Any = self.environment.events.request
        hook.fire(
            request_type=request_type, name=name, response_time=response_time,
            response_length=length, exception=exception, context=self.user.context())

    def _request(self, request_type: str, name: str, key: Tuple[Any, ...],
                 send: Callable[[], Any], extra: Any = None) -> Optional[Tuple[float, Any]]:
        """Sends, waits for the answer the handlers file under `key`, and
        reports. Returns (response time in ms, answer) or None on failure."""
        if self.lost is not None:
            self.user.out()
        wait = _Wait(extra)
        self._waits[key] = wait
        try:
            try:
                send()
            except kelvo.RequestRefused as exc:
                self._report(request_type, name, 0.0, 0, Unsent(str(exc)))
                return None
            try:
                at, answer = wait.result.get(timeout=self.timeout)
            except gevent.Timeout:
                self._report(request_type, name, (time.perf_counter() - wait.sent) * 1000, 0,
                             NoAnswer("no answer within %g s" % self.timeout))
                return None
            except KelvoFailure as failure:
                self._report(request_type, name, (time.perf_counter() - wait.sent) * 1000, 0,
                             failure)
                if isinstance(failure, ConnectionLost):
                    self.user.out()
                return None
        finally:
            self._waits.pop(key, None)
        if answer is _UNSEEN:
            return None
        elapsed = (at - wait.sent) * 1000
        length = answer if isinstance(answer, int) else 0
        self._report(request_type, name, elapsed, length, None)
        return elapsed, answer

    def _answer(self, key: Tuple[Any, ...], answer: Any = None) -> bool:
        wait = self._waits.get(key)
        if wait is None or wait.result.ready():
            return False
        wait.result.set((time.perf_counter(), answer))
        return True

    def _fail(self, key: Tuple[Any, ...], failure: KelvoFailure) -> bool:
        wait = self._waits.get(key)
        if wait is None or wait.result.ready():
            return False
        wait.result.set_exception(failure)
        return True

    # ----- connecting and logging in

    def connect(self, host: str, port: int, name: str = "connect") -> bool:
        """Connects to the server; reported as ("connect", name)."""
        address = socket.gethostbyname(host)
        self.lost = None
        self._link_note = ""
        _pumper.started.set()
        return self._request("connect", name, ("connect",),
                             lambda: self.kelvo.connect(address, port)) is not None

    def login(self, user_id: int, password: str, name: str = "login") -> bool:
        """Logs in; reported as ("login", name), timed by the server's
        answer. A refusal is a failure with the server's text. Returns once
        the login is complete (my_info, the groups and the first friend list
        are in); a login that is not within the answer timeout is a
        NoAnswer failure of ("login", name) too."""
        self.user_id = user_id
        sent = time.perf_counter()
        if self._request("login", name, ("login",),
                         lambda: self.kelvo.login(user_id, password)) is None:
            return False
        # The lists usually came in the same read as the answer and were
        # pumped with it; else they, or the quiet second that stands for
        # a missing one, are a few polls away.
        while self.lost is None and self.kelvo.login_state is not kelvo.LoginState.COMPLETE:
            if time.perf_counter() - sent > self.timeout:
                self._report("login", name, (time.perf_counter() - sent) * 1000, 0,
                             NoAnswer("login not complete within %g s" % self.timeout))
                return False
            gevent.sleep(LOGIN_POLL_SECONDS)
        if self.lost is not None:
            return False  # reported as ("connection", "lost")
        self.logged_in = True
        players.add(self)
        return True

    def release(self) -> None:
        """Leaves: released at once, unreported."""
        self._leave_players()
        if not self.kelvo.released:
            self.kelvo.release()
            _pumper.leave()

    def _leave_players(self) -> None:
        self.logged_in = False
        if players.remove(self):
            # Nobody waits for this player to see a move any more.
            for other in players.values():
                other._unwatch(self.user_id)

    def _unwatch(self, watcher_id: Optional[int]) -> None:
        """`watcher_id` will not see this player's pending move (he left, or
        the friendship ended): when nobody else can, the move is unseen."""
        for key, wait in list(self._waits.items()):
            if key[0] == "move" and watcher_id in wait.extra:
                wait.extra.discard(watcher_id)
                if not wait.extra:
                    self._answer(key, _UNSEEN)

    # ----- reported requests

    def chat(self, peer_user_id: int, name: str = "round trip") -> Optional[float]:
        """Sends "kb ping <n>" to the player `peer_user_id`, who answers
        "kb pong <n>": reported as ("chat", name) with the round trip
        (sender, server, peer, server, sender) in ms, which it returns."""
        token = str(time.monotonic_ns())
        done = self._request("chat", name, ("ping", token),
                             lambda: self.kelvo.send_chat(peer_user_id, PING + token))
        return done[0] if done else None

    def search_user(self, name_searched: Optional[str] = None,
                    name: str = "search_user") -> Optional[List[E.User]]:
        """Searches the users whose name contains `name_searched`; reported
        as ("search", name) when the list ended, with the number of users
        found as the response length. Returns them."""
        self._search_found = []
        done = self._request("search", name, ("search",),
                             lambda: self.kelvo.search_user(name_searched))
        return list(self._search_found) if done else None

    def add_user(self, target_user_id: int, group_id: int = 1,
                 name: str = "add_user") -> bool:
        """Asks `target_user_id` to be a friend; reported as ("friend",
        name) once he accepted (players accept every request). A refusal
        (unknown user, already a friend) or a decline is a failure."""
        return self._request("friend", name, ("add", target_user_id),
                             lambda: self.kelvo.add_user(target_user_id, group_id)) is not None

    def remove_user(self, user_id: int, name: str = "remove_user") -> bool:
        """Ends a friendship; reported as ("friend", name) when the server
        confirmed."""
        return self._request("friend", name, ("remove", user_id),
                             lambda: self.kelvo.remove_user(user_id)) is not None

    def enter_game_server(self, game_server_id: int, name: str = "enter_game_server") -> bool:
        """Moves to `game_server_id`. The mover gets no answer; what answers
        a move is the presence note its online friends get. When friends of
        the player are online in this process, reported as ("move", name)
        with the time until the first of them was told; otherwise only sent
        (False)."""
        if self.lost is not None:
            self.user.out()
        watchers = set()
        for friend in self.kelvo.users():
            watcher = players.get(friend.user_id) if friend.online else None
            # Told only when the mover is on the watcher's roster too.
            if watcher is not None and watcher.kelvo.get_user(self.user_id or 0) is not None:
                watchers.add(friend.user_id)
        if not watchers:
            self.kelvo.enter_game_server(game_server_id)
            return False
        return self._request("move", name, ("move", game_server_id),
                             lambda: self.kelvo.enter_game_server(game_server_id),
                             extra=watchers) is not None

    # ----- choosing others

    def random_peer(self) -> Optional[int]:
        """Another logged-in player of this process, at random, or None."""
        if len(players) < 2:
            return None
        for _ in range(8):
            user_id = players.random_id()
            if user_id != self.user_id:
                return user_id
        return None

    def friends(self) -> List[int]:
        """The ids on the player's roster."""
        return [u.user_id for u in self.kelvo.users()]

    # ----- handlers (inside the shared pump: no greenlet switch here)

    def _handler_error(self, report: E.HandlerError) -> None:
        _log.error("kelvo: a handler of player %s raised on %r", self.user_id, report.event,
                   exc_info=report.error)

    def _take_link_note(self) -> str:
        line, self._link_note = self._link_note, ""
        for cut in (" failed: ", " lost: "):
            at = line.find(cut)
            if at >= 0:
                line = line[at + len(cut):]
                break
        return line.strip() or "no reason given"

    def _on_log(self, ev: E.Log) -> None:
        # The module explains a failed connect or a lost connection in one
        # line just before Connected(FAILED) or Closed.
        if ev.text.startswith(("ImServerClient: connect to ", "ImServerClient: connection to ")):
            self._link_note = ev.text

    def _on_connected(self, ev: E.Connected) -> None:
        if ev.ok:
            self._link_note = ""
            self._answer(("connect",))
        else:
            self._fail(("connect",), ConnectFailed(self._take_link_note()))

    def _on_login(self, ev: E.LoginResult) -> None:
        if ev.ok:
            self._answer(("login",))
        else:
            self._fail(("login",), LoginRefused(ev.text))

    def _on_closed(self, ev: E.Closed) -> None:
        self._lose(ConnectionLost(self._take_link_note()))

    def _on_logged_out(self, ev: E.LoggedOut) -> None:
        self._lose(ConnectionLost("logged out by the server"))

    def _lose(self, failure: ConnectionLost) -> None:
        if self.lost is not None:
            return
        self.lost = failure.args[0]
        self._leave_players()
        for key in list(self._waits):
            self._fail(key, failure)
        _pumper.defer(lambda: self._report("connection", "lost", 0.0, 0, failure))

    def _on_chat(self, ev: E.ChatMessage) -> None:
        if ev.kind is not kelvo.MessageKind.CHAT:
            return
        if ev.text.startswith(PING) and self.user.answer_pings:
            try:
                self.kelvo.send_chat(ev.sender, PONG + ev.text[len(PING):])
            except kelvo.RequestRefused as exc:
                _log.warning("kelvo: player %s could not answer a ping: %s", self.user_id, exc)
        elif ev.text.startswith(PONG):
            self._answer(("ping", ev.text[len(PONG):]))

    def _on_search_end(self, ev: E.SearchUserListEnd) -> None:
        self._answer(("search",), len(self._search_found))

    def _on_add_request(self, ev: E.AddUserRequest) -> None:
        if not self.user.accept_friends:
            return
        groups = self.kelvo.groups()
        try:
            self.kelvo.reply_add_request(ev.user_id, groups[0].group_id if groups else 1, True)
        except kelvo.RequestRefused as exc:
            _log.warning("kelvo: player %s could not accept %d: %s", self.user_id, ev.user_id,
                         exc)

    def _on_add_result(self, ev: E.AddUserResult) -> None:
        if ev.user is None:
            return
        key = ("add", ev.user.user_id)
        if ev.result == kelvo.AddUserCode.ADDED:
            self._answer(key)
        elif ev.result != kelvo.AddUserCode.ACKNOWLEDGED:
            self._fail(key, Refused("add_user %s" % ev.result.name.lower()))

    def _on_add_reply(self, ev: E.AddUserReply) -> None:
        if ev.user is not None:
            self._fail(("add", ev.user.user_id), Refused("add_user declined"))

    def _on_remove_result(self, ev: E.RemoveUserResult) -> None:
        key = ("remove", ev.user_id)
        if ev.result == kelvo.RemoveUserCode.REMOVED:
            # Either side of the ended friendship no longer sees the other move.
            self._unwatch(ev.user_id)
            other = players.get(ev.user_id)
            if other is not None:
                other._unwatch(self.user_id)
            self._answer(key)
        elif ev.result != kelvo.RemoveUserCode.ACKNOWLEDGED:
            self._fail(key, Refused("remove_user %s" % ev.result.name.lower()))

    def _on_entered(self, ev: E.UserEnteredGameServer) -> None:
        mover = players.get(ev.user_id)
        friend = self.kelvo.get_user(ev.user_id)
        if mover is not None and friend is not None and self.user_id is not None:
            wait = mover._waits.get(("move", friend.game_server_id))
            if wait is not None and self.user_id in wait.extra:
                mover._answer(("move", friend.game_server_id))


# ----- the user class


def parse_host(host: Optional[str]) -> Tuple[str, int]:
    """"HOST:PORT" or "kelvo://HOST:PORT" (Locust's --host)."""
    text = (host or "").strip()
    if "://" in text:
        text = text.split("://", 1)[1]
    text = text.rstrip("/")
    address, _, port = text.rpartition(":")
    if not address or not port.isdigit() or not 0 < int(port) < 65536:
        raise ValueError("--host must be HOST:PORT of the messaging server, not %r" % host)
    return address, int(port)


class KelvoUser(User):
    """A simulated player: connects and logs in on start (reported as
    "connect" and "login"), is released on stop. Tasks use `self.client`
    (a KelvoPlayer).

    A player whose connect or login fails, or whose connection is lost, is
    out once its failure is reported: it waits, doing nothing, until the
    run stops it (set `stop_when_out` to stop it at once instead; Locust
    then starts another player in its place while it ramps up, with the
    next account). So a run keeps the number of players it was asked for,
    and every refused account is tried exactly once.

    Tasks start once the login is complete: `self.client.my_info`, the
    groups and the friends are there from the first task on.

    Override on_start to do more after logging in (call super first)."""

    abstract = True
    #: seconds to wait for an answer (--kelvo-timeout overrides it)
    answer_timeout = 10.0
    #: answer "kb ping" chats of other players with "kb pong"
    answer_pings = True
    #: accept every friend request
    accept_friends = True
    #: a player that is out stops (StopUser) instead of waiting for the end
    stop_when_out = False

    def __init__(self, environment: Environment) -> None:
        super().__init__(environment)  # type: ignore[no-untyped-call]
        self.client = KelvoPlayer(self)
        self.account: Optional[Account] = None
        self._account_good = False

    def take_account(self) -> Account:
        """The account this player logs in with: the next one of the run's
        seed file or numbered range (override for accounts of your own)."""
        return _accounts.take(self.environment)

    def give_back_account(self, account: Account) -> None:
        _accounts.give_back(account)

    def on_start(self) -> None:
        try:
            self.account = self.take_account()
        except (KelvoFailure, OSError, ValueError, IndexError) as exc:
            _log.error("kelvo: no account for a player: %s", exc)
            self.out()
        host, port = parse_host(self.host)
        if not self.client.connect(host, port):
            self.out()
        if not self.client.login(self.account.user_id, self.account.password):
            self.out()
        self._account_good = True

    def out(self) -> NoReturn:
        """The player is out (its failure was reported): waits until the run
        stops it, or stops at once with `stop_when_out`."""
        self.client.release()
        if not self.stop_when_out:
            gevent.event.Event().wait()  # ended by the stop's GreenletExit
        raise StopUser()

    def on_stop(self) -> None:
        self.client.release()
        # Only an account that logged in goes back for the next player: one
        # the server refused would be refused again and again.
        if self.account is not None and self._account_good:
            self.give_back_account(self.account)
        self.account = None
