// IImClientPump: an optional second face of the client object, for hosts
// that want every callback on a thread of their own choosing (typically the
// game's main thread, once per frame) instead of on the network thread.
//
//   IImClientPump* pump = static_cast<IImClientPump*>(
//       client->QueryInterface(IID_IImClientPump, IM_PUMP_INTERFACE_VERSION));
//   pump->SetDeliveryMode(KELVO_DELIVERY_PUMP);   // before Connect
//   ...each frame: pump->Pump(256);
//
// In pump mode the network thread only reads and frames: every inbound
// message and every connection report (OnConnect, OnClose) waits in one
// queue, in arrival order, until the host calls Pump. The tables change and
// the sink is called only inside Pump, on the thread that calls it.
//
// The queue holds at most KELVO_PUMP_QUEUE_BYTES of messages. When it fills
// up the client stops reading the socket, so TCP flow control holds the
// server back; nothing is dropped. Close, Release and a new Connect discard
// whatever is still queued.
//
// The three IImBase operations act on the client object itself: Release on
// this interface ends the client, QueryInterface answers as the client does.
// Same rules as the other interfaces: no virtual destructor, operations are
// called by their place in the table, KELVO_CALL on every one.
#ifndef KELVO_IM_CLIENT_PUMP_H_
#define KELVO_IM_CLIENT_PUMP_H_

#include "kelvo/im_base.h"
#include "kelvo/kelvo_types.h"

namespace kelvo {

// {6C1F3E52-2B7D-4F0A-9E64-0D5A8C17B3E9}
constexpr GUID IID_IImClientPump = {
    0x6C1F3E52, 0x2B7D, 0x4F0A, {0x9E, 0x64, 0x0D, 0x5A, 0x8C, 0x17, 0xB3, 0xE9}};

// Version word of this interface: 1.0. Accepted: major 1, minor 0, any build
// and revision.
constexpr uint32_t IM_PUMP_INTERFACE_VERSION = 0x01000000;

// Delivery modes.
constexpr uint32_t KELVO_DELIVERY_NETWORK_THREAD = 0;  // the default
constexpr uint32_t KELVO_DELIVERY_PUMP = 1;

// Bytes of queued messages the client holds in pump mode before it stops
// reading the socket (taken as messages arrive, given back once pumped).
constexpr uint32_t KELVO_PUMP_QUEUE_BYTES = 1u << 20;

class IImClientPump : public IImBase {
 public:
  // Slots 0-2 come from IImBase.

  // Slot 3. Chooses where callbacks run: KELVO_DELIVERY_NETWORK_THREAD or
  // KELVO_DELIVERY_PUMP. Allowed only while no connection is up or being
  // attempted and no event of the last one waits (its end included);
  // otherwise, or for an unknown mode, false and nothing changes.
  // Choosing the current mode again is true.
  virtual bool KELVO_CALL SetDeliveryMode(uint32_t mode) = 0;
  // Slot 4. The current mode.
  virtual uint32_t KELVO_CALL GetDeliveryMode() = 0;
  // Slot 5. Delivers up to `maxEvents` queued events on the calling thread:
  // the handler of each message (table updates, sink calls) or the
  // OnConnect/OnClose of a connection report, in arrival order. Returns how
  // many ran. Returns 0 without delivering in network-thread mode, when
  // called from inside a callback (no nesting: the outer Pump goes on), and
  // while another thread pumps.
  virtual uint32_t KELVO_CALL Pump(uint32_t maxEvents) = 0;
  // Slot 6. Events waiting in the queue now (any thread; a hint that may be
  // stale when read).
  virtual uint32_t KELVO_CALL PendingEvents() = 0;
  // Slot 7. Waits until at least one event is queued or `timeoutMs` passed;
  // true when one is queued. For hosts that give the client a thread of
  // their own. Returns at once when called from inside a callback.
  virtual bool KELVO_CALL WaitForEvents(uint32_t timeoutMs) = 0;

 protected:
  ~IImClientPump() = default;
};

}  // namespace kelvo

#endif  // KELVO_IM_CLIENT_PUMP_H_
