// A socket client's state: its settings, its current connection and the
// deliverer's side of the inbox (see engine.h).
#ifndef NIMBO2_SRC_CLIENT_STATE_H_
#define NIMBO2_SRC_CLIENT_STATE_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "nimbo2/link_security.h"
#include "nimbo2/msg_worker.h"
#include "nimbo2/recorder.h"
#include "nimbo2/tcp_client_socks5.h"
#include "resolver.h"

namespace Nimbo2 {

class Conn;
class Loop;

// A socket client's state, shared with its connections and its loop so that
// a connection can finish after the client object is gone.
struct ClientState : std::enable_shared_from_this<ClientState> {
  explicit ClientState(MsgWorker* w) : worker(w) {}

  // A connection has something new for the worker (loop thread, no lock of
  // ours held); `c` null: the close CloseSocket(true) asked for. Delivers
  // it, or tells the inbox worker.
  void Notify(Conn* c);
  // The library's own delivery, for a worker without an InboxWorker: every
  // message to HandleMessage, every report to OnLinkNote and OnConnectState.
  void DeliverHere(MsgWorker* w, LinkNoteWorker* n);
  // The deliverer's side (see TCPClient_Socks5::Take).
  bool Take(InboxItem* item);
  void Done(const InboxItem& item, std::size_t bytes, uint32_t messages);
  void DoneNote(const InboxItem& item);
  void DoneReport(const InboxItem& item);
  bool Current(const InboxItem& item) const;
  uint32_t PendingEvents();
  bool Attached();
  // Loop thread: the owner's MsgThreadBegin/End (own loops only).
  void ThreadBegins();
  void ThreadEnds();

  std::mutex mu;
  std::condition_variable callEnded;
  MsgWorker* worker;                  // null once detached
  InboxWorker* inboxWorker = nullptr;
  LinkNoteWorker* notes = nullptr;
  bool calling = false;               // a worker call is under way
  std::thread::id callingThread;
  bool forgetWorker = false;          // destroyed from its own call: no MsgThreadEnd
  std::atomic<bool> stopped{false};

  bool haveProxy = false;
  tagProxyInfo proxy{};
  // SetProxyHost's proxy (with haveProxy): its text, what it is, and a
  // literal's address (IPv4 in proxy.address).
  std::string proxyHost;
  HostKind proxyHostKind = HostKind::kInvalid;
  uint8_t proxyIp6[16] = {};
  uint32_t timeoutMs = kConnectTimeoutMs;
  uint32_t nextDelayMs = 0;  // DelayNextConnect: for the next Connect only
  uint32_t nextAddressDelayMs = kNextAddressDelayMs;
  LinkHealthLimits limits{};
  std::size_t inboxLimit = kDefaultInboxLimitBytes;
  LinkSecurity security;
  bool shared = false;

  std::shared_ptr<Loop> loop;   // made by the first Connect
  bool loopShared = false;
  std::shared_ptr<Conn> current;
  bool requestedClose = false;  // CloseSocket(true): a report is owed
  // The epoch of that report's item (real epochs start at 1).
  static constexpr uint64_t kRequestedEpoch = 0;
  std::atomic<uint64_t> currentEpoch{0};
  uint64_t epochs = 0;
  // The connection a deliverer is taking a run from (keeps its bytes
  // alive). The deliverer's own.
  std::shared_ptr<Conn> delivering;

  std::atomic<uint64_t> bytesIn{0}, bytesOut{0}, messagesIn{0};
  std::atomic<uint32_t> tuning{0};
  const std::unique_ptr<Recorder> recorder = Recorder::FromEnvironment();
};

}  // namespace Nimbo2

#endif  // NIMBO2_SRC_CLIENT_STATE_H_
