// The instance object: error information text and locking of the host's instance block.
// The phases and exported entry points are in interp/abi/exports.cpp.
#include "interp/base/instance.h"

#include "platform/gmem.h"

namespace kel::interp {

Instance::~Instance() {
    for (int k = 0; k < spare_count; ++k) {
        platform::gmem_unlock(spare_tables[k].table);
        platform::gmem_free(spare_tables[k].table);
    }
}

Instance& Instance::info(std::string_view text) {
    static constexpr std::string_view kSep =
        "\n\n----------------------------------------\n\xA0\n";
    if (!add_info.empty()) {
        if (add_info.size() + kSep.size() >= kAddInfoMax) return *this;
        add_info.append(kSep);
    }
    size_t room = kAddInfoMax - add_info.size();
    add_info.append(text.substr(0, room));
    return *this;
}

Instance* instance_from_block(void* block) {
    if (!block) return nullptr;
    auto* hdr = static_cast<InstanceBlockHeader*>(block);
    if (hdr->magic != kInstanceMagic || hdr->version != kInstanceLayoutVersion) return nullptr;
    return hdr->obj;
}

InstanceLock::InstanceLock(Handle h) : h_(h), p_(h ? platform::gmem_lock(h) : nullptr), inst_(nullptr) {
    inst_ = instance_from_block(p_);
}

InstanceLock::~InstanceLock() {
    if (p_) platform::gmem_unlock(h_);
}

}  // namespace kel::interp
