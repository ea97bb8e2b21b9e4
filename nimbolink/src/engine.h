// The connection engine behind TCPClient_Socks5.
//
// Where each concern lives:
//
//   loop.h, loop.cpp            Loop: the thread, its poller (poller.h), its
//                               wake-up channel, the work host threads post
//                               to it, and its connections' deadlines
//   loop_group.h, .cpp          LoopGroup: the process's shared loops
//   conn.h, conn.cpp            Conn's state machine: a start delay
//                               (reconnection), resolving, connect (the
//                               addresses of a name raced, IPv6 first),
//                               SOCKS5, TLS, up, closing, done; the deadlines
//                               of each phase, the stall watchdog, failure
//                               and loss
//   resolver.h, .cpp            Resolution: a name resolved on a thread of
//                               its own, its answer posted to the loop
//   net.h, net.cpp              sockets and addresses of both families
//   conn_stream.cpp             Conn's byte paths: sending (any thread),
//                               reading into the inbox (inbox.h), TLS in
//                               between, the drain of a closing connection
//   client_state.h, .cpp        ClientState: a client's settings, its current
//                               connection, and the deliverer's side (Notify,
//                               Take, Done)
//   tcp_client_socks5.cpp       the public face: settings, Connect, SendMsg,
//                               CloseSocket, destruction
//
// The path of one received message, and the thread of each step:
//
//   loop thread   Loop::Run -> Poller::Wait -> Conn::OnReady -> Conn::ReadSome
//                 (reads into the Inbox, frames the bytes where they lie and
//                 publishes the whole messages, under the Conn's mutex)
//                 -> ClientState::Notify (no lock of ours held)
//                 -> InboxWorker::InboxReady (the client, src/core/pump.cpp)
//   then either   the loop thread itself (network-thread mode), or a host
//                 thread inside Pump (pump mode; InboxReady only wakes it),
//                 runs ImServerClient::Deliver under the client's lock:
//                 TCPClient_Socks5::Take -> ClientState::Take ->
//                 Conn::PeekLocked hands out a run of messages in place;
//                 each goes to its handler; ClientState::Done ->
//                 Conn::ConsumeLocked frees them, and posts kResume to the
//                 loop when that lets a paused read go on.
//
// A Loop is a thread with a poller, a wake-up channel and the deadlines of
// its connections. A client on a thread of its own has a loop of its own; a
// client on the shared loop gets one of the shared group's loops. Either way
// the client's connection (Conn) lives on that loop: the loop thread reads,
// frames, runs the handshakes and the deadlines; host threads write to the
// socket directly when nothing waits to be sent, and otherwise hand work to
// the loop with Post.
//
// Rules:
//   1. A Conn's socket, poller interest and deadline belong to its loop
//      thread. The socket descriptor is closed only under the Conn's mutex,
//      where host threads also write to it, so a write never reaches a
//      descriptor that was closed (and perhaps reused).
//   2. Everything a host thread and the loop thread share about a Conn (the
//      send queue, the inbox, the reports, the state) is under the Conn's
//      mutex, which is never held across a worker call or a blocking wait.
//   3. The client (ClientState) names its current Conn; only the current
//      Conn's events reach the worker, and a Conn that stops being current
//      (CloseSocket, Connect, destruction) is never heard of again. It goes
//      on alone: it flushes what was accepted, sends our FIN, reads until
//      the peer's FIN or kLingerMs, and closes.
//   4. The loop calls the worker only through ClientState::Notify, outside
//      every lock of ours, counted as a call under way; Detach waits for
//      such a call to end (unless it is made from inside it) and stops new
//      ones.
#ifndef NIMBO2_SRC_ENGINE_H_
#define NIMBO2_SRC_ENGINE_H_

#include "client_state.h"
#include "conn.h"
#include "loop.h"
#include "loop_group.h"

#endif  // NIMBO2_SRC_ENGINE_H_
