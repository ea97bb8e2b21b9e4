// IImBase: the three operations that both IImClient and IImClientSink begin
// with. Operations are called by their place in the table of virtual
// operations, so their order is part of the binary interface.
//
// There is deliberately no virtual destructor: a compiler that emits two
// destructor slots (g++) would shift every later slot against an MSVC host.
// Objects end through Release().
#ifndef KELVO_IM_BASE_H_
#define KELVO_IM_BASE_H_

#include "kelvo/kelvo_types.h"

namespace kelvo {

class IImBase {
 public:
  // Slot 0. True when the object's pointer is not null and its storage is
  // readable and writable.
  virtual bool KELVO_CALL IsValid() = 0;
  // Slot 1. Ends the object when IsValid() holds. Returns true in every case;
  // the pointer must not be used afterwards. There is no reference count.
  virtual bool KELVO_CALL Release() = 0;
  // Slot 2. Returns this object as the interface asked for when the
  // identifier and the version word are accepted, otherwise null. Counts no
  // reference: every successful query returns the same pointer.
  virtual void* KELVO_CALL QueryInterface(const GUID& iid, uint32_t version) = 0;

 protected:
  ~IImBase() = default;
};

}  // namespace kelvo

#endif  // KELVO_IM_BASE_H_
