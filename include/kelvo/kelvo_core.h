// The module's single export.
#ifndef KELVO_KELVO_CORE_H_
#define KELVO_KELVO_CORE_H_

#include "kelvo/im_client.h"
#include "kelvo/im_client_sink.h"
#include "kelvo/kelvo_types.h"

#if defined(_WIN32)
#if defined(KELVO_BUILDING_MODULE)
#define KELVO_EXPORT __declspec(dllexport)
#else
#define KELVO_EXPORT __declspec(dllimport)
#endif
#else
#define KELVO_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

// Creates one client object and returns QueryInterface(*iid, version) on it:
// the object as IImClient (also for IID_IImBase), or null when the identifier
// or version is refused (the object is destroyed), or when it cannot be
// built. `iid` must point to 16 readable bytes. No exception leaves it.
// The host owns the result until it calls Release() on it. Any thread.
KELVO_EXPORT void* CreateKelvoCore(const GUID* iid, uint32_t version);

// Signature for hosts that look the export up at run time.
typedef void* (*CreateKelvoCoreFn)(const GUID* iid, uint32_t version);

}  // extern "C"

#endif  // KELVO_KELVO_CORE_H_
