"""Players of a game's messaging service, for Locust.

Each player logs in (an account of the seed file or numbered range), then
at random times, at the rates given, chats with another player (a round
trip: the peer answers), moves to another game server (timed by a friend
who is told), searches for a player by name, and makes or ends a
friendship. One worker process runs many players on the module's shared
network loop.

    # one machine, no master:
    locust -f tools/locust/locustfile.py --headless -u 500 -r 50 -t 60s \\
        --host 127.0.0.1:7000 --kelvo-first-id 100000 --chat-rate 0.5

    # many machines: the master (web UI on :8089, or --headless ...) ...
    locust -f tools/locust/locustfile.py --master --host 10.0.0.5:7000 \\
        --kelvo-seed bots.seed --chat-rate 0.5
    # ... and any number of workers, each on its own core
    locust -f tools/locust/locustfile.py --worker --master-host 10.0.0.2

Parameters (command line of the master, or the environment):

  --chat-rate     PLAYER_CHAT_RATE     chats a player starts per second (0.2)
  --move-rate     PLAYER_MOVE_RATE     game-server moves per second (0.05)
  --search-rate   PLAYER_SEARCH_RATE   searches per second (0.02)
  --friend-rate   PLAYER_FRIEND_RATE   friendships made or ended per second (0.02)
  --game-servers  PLAYER_GAME_SERVERS  game servers to move between, 1..N (10)
  --max-friends   PLAYER_MAX_FRIENDS   friendships a player makes before ending
                                       some (5)

and those of kelvo.locust: --kelvo-seed FILE or --kelvo-first-id ID with
--kelvo-password PATTERN, --kelvo-timeout, --kelvo-loop-threads.
"""

import random
from typing import Any

from locust import events, task

from kelvo.locust import KelvoUser, players


@events.init_command_line_parser.add_listener
def _arguments(parser: Any) -> None:
    group = parser.add_argument_group("players", "What the players of locustfile.py do")
    group.add_argument("--chat-rate", type=float, env_var="PLAYER_CHAT_RATE", default=0.2,
                       help="chats each player starts per second, each answered by its peer")
    group.add_argument("--move-rate", type=float, env_var="PLAYER_MOVE_RATE", default=0.05,
                       help="game-server moves per player per second")
    group.add_argument("--search-rate", type=float, env_var="PLAYER_SEARCH_RATE", default=0.02,
                       help="name searches per player per second")
    group.add_argument("--friend-rate", type=float, env_var="PLAYER_FRIEND_RATE", default=0.02,
                       help="friendships made or ended per player per second")
    group.add_argument("--game-servers", type=int, env_var="PLAYER_GAME_SERVERS", default=10,
                       help="game servers the players move between (1..N)")
    group.add_argument("--max-friends", type=int, env_var="PLAYER_MAX_FRIENDS", default=5,
                       help="friendships a player makes before it ends some")


class Player(KelvoUser):
    def on_start(self) -> None:
        super().on_start()
        o = self.environment.parsed_options
        self.rates = [(self.chat, o.chat_rate), (self.move, o.move_rate),
                      (self.search, o.search_rate), (self.friend, o.friend_rate)]
        self.total_rate = sum(rate for _, rate in self.rates)
        self.game_servers = max(1, o.game_servers)
        self.max_friends = o.max_friends

    def wait_time(self) -> float:
        # Each action at its own rate: together a Poisson process of the sum
        # of the rates, each step one action chosen in proportion to its rate.
        if self.total_rate <= 0:
            return 3600.0
        return random.expovariate(self.total_rate)

    @task
    def act(self) -> None:
        if self.total_rate <= 0:
            return
        pick = random.uniform(0, self.total_rate)
        for action, rate in self.rates:
            pick -= rate
            if pick <= 0 and rate > 0:
                action()
                return

    def chat(self) -> None:
        peer = self.client.random_peer()
        if peer is not None:
            self.client.chat(peer)

    def move(self) -> None:
        self.client.enter_game_server(random.randint(1, self.game_servers))

    def search(self) -> None:
        peer = self.client.random_peer()
        other = players.get(peer) if peer is not None else None
        me = (other.kelvo if other is not None else self.client.kelvo).my_info
        if me is not None:
            self.client.search_user(me.name)

    def friend(self) -> None:
        # A friendship between two players is made and ended by the one
        # with the lower id only, so two players never ask each other at
        # once (the second request would be refused: already friends).
        me = self.client.user_id or 0
        mine = [f for f in self.client.friends() if f > me]
        if len(mine) >= self.max_friends:
            self.client.remove_user(random.choice(mine))
            return
        peer = self.client.random_peer()
        if peer is not None and peer > me and peer not in mine:
            self.client.add_user(peer)
