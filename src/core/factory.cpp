// The module's only export.
#include <new>
#include <stdexcept>

#include "core/im_server_client.h"
#include "kelvo/kelvo_core.h"
#include "sink/texts.h"

extern "C" KELVO_EXPORT void* CreateKelvoCore(const GUID* iid, uint32_t version) {
  kelvo::ImServerClient* client = nullptr;
  try {
    client = new (std::nothrow) kelvo::ImServerClient();
    if (client == nullptr) throw std::runtime_error(kelvo::kTextCreateFailed);
    void* result = client->QueryInterface(*iid, version);
    if (result != nullptr) return result;
    throw std::runtime_error(kelvo::kTextQueryInterfaceFailed);
  } catch (...) {
    // Nothing leaves the module: the texts above stay inside it. A failure
    // inside the constructor has already freed the storage.
    delete client;
    return nullptr;
  }
}
