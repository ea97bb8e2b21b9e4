// IImClientEngine: an optional face of the client object for hosts that run
// many clients in one process (load bots, test tools, servers that speak for
// many players): it puts a client on the process's shared network loop.
//
//   IImClientEngine* engine = static_cast<IImClientEngine*>(
//       client->QueryInterface(IID_IImClientEngine, IM_ENGINE_INTERFACE_VERSION));
//   engine->UseSharedLoop(1);          // before Connect
//
// A client is created on a network thread of its own, as every client has
// always been; nothing changes for a host that never asks for this
// interface. On the shared loop, a few loop threads (cores + 1 unless the
// host sets a count) serve every client that chose it: each client has one
// socket and no thread of its own. The rules of the threading contract hold
// per client: its callbacks never run concurrently with each other and keep
// their order; a host call waits for at most the one delivery of that client
// under way. One client's slow callback delays the other clients served by
// the same loop thread, not the rest.
//
// Pump mode (IImClientPump) works on the shared loop as on a client's own
// thread; PumpSharedLoop and WaitSharedLoop let one thread pump every
// pump-mode client on the loop without visiting each one.
//
// The shared loop starts with the first Connect of a client that chose it
// and stops when the last such client is released; after that Release (made
// outside every callback) the module may be unloaded.
//
// The three IImBase operations act on the client object itself, as on the
// pump interface. No virtual destructor; KELVO_CALL on every operation.
#ifndef KELVO_IM_CLIENT_ENGINE_H_
#define KELVO_IM_CLIENT_ENGINE_H_

#include "kelvo/im_base.h"
#include "kelvo/kelvo_types.h"

namespace kelvo {

// {3B0D7C6E-91A4-4E2F-8C5B-7A2E16D09F41}
constexpr GUID IID_IImClientEngine = {
    0x3B0D7C6E, 0x91A4, 0x4E2F, {0x8C, 0x5B, 0x7A, 0x2E, 0x16, 0xD0, 0x9F, 0x41}};

// Version word of this interface: 1.0. Accepted: major 1, minor 0, any build
// and revision.
constexpr uint32_t IM_ENGINE_INTERFACE_VERSION = 0x01000000;

class IImClientEngine : public IImBase {
 public:
  // Slots 0-2 come from IImBase.

  // Slot 3. 1: this client's later connections run on the shared loop; 0:
  // on a network thread of the client's own (the default). Allowed while the
  // client has no connection (none attempted, or the last one closed by
  // Close or reported ended); otherwise, or for another value, false and
  // nothing changes. Choosing the current setting again is true. Any thread
  // but a callback of this client.
  virtual bool KELVO_CALL UseSharedLoop(uint32_t enable) = 0;
  // Slot 4. Threads of the shared loop: 1 to 64, or 0 for the default
  // (cores + 1). Allowed only while the shared loop is not running (no
  // client on it has connected since it last stopped); false otherwise.
  virtual bool KELVO_CALL SetSharedLoopThreads(uint32_t threads) = 0;
  // Slot 5. Runs up to `maxEvents` queued events of the pump-mode clients on
  // the shared loop, on the calling thread, exactly as each client's Pump
  // would: a client's events in their order, clients in the order their
  // events arrived. Returns how many ran. Returns 0 at once while another
  // thread runs it, and from inside a callback.
  virtual uint32_t KELVO_CALL PumpSharedLoop(uint32_t maxEvents) = 0;
  // Slot 6. Waits until a pump-mode client on the shared loop has an event
  // queued or `timeoutMs` passed; true when one has. Returns at once from
  // inside a callback.
  virtual bool KELVO_CALL WaitSharedLoop(uint32_t timeoutMs) = 0;
  // Slot 7. A handle that is signalled while a pump-mode client on the
  // shared loop has an event queued, for hosts that wait in an event loop of
  // their own (asyncio, gevent, a game's frame loop): on Linux a file
  // descriptor that polls readable (do not read it; PumpSharedLoop resets
  // it), on Windows an event HANDLE to wait on. Valid until the shared loop
  // stops; -1 while it is not running.
  virtual int64_t KELVO_CALL SharedLoopWaitHandle() = 0;

 protected:
  ~IImClientEngine() = default;
};

}  // namespace kelvo

#endif  // KELVO_IM_CLIENT_ENGINE_H_
