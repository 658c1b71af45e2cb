// The binary buffer table and the builtins that manage buffers as a whole.
// Buffers live in movable blocks that stay locked until freed, so the host can take the
// memory handle (service 43) and lock it again while a script runs. The blocks are mapped
// below 2 GiB: a script may hand a buffer's address (an integer) to native code.
#include "lib/binbuf.h"

#include <cstring>
#include <memory>
#include <unordered_map>

#include "lib/builtin.h"
#include "platform/gmem.h"

namespace kel::lib {

namespace pf = kel::platform;
using interp::Instance;

namespace {

struct BinBufTable {
    BinBuf slots[kBinBufSlots];
};

// Tables by instance: the instance record is the host's layout, so buffers are kept
// beside it rather than inside it. Created on the first allocation only.
std::unordered_map<const Instance*, std::unique_ptr<BinBufTable>>& tables() {
    static std::unordered_map<const Instance*, std::unique_ptr<BinBufTable>> t;
    return t;
}

BinBufTable* table_of(const Instance& inst) {
    auto it = tables().find(&inst);
    return it == tables().end() ? nullptr : it->second.get();
}

}  // namespace

BinBuf* binbuf_get(const Instance& inst, int32_t handle) {
    if (handle < kBinBufFirstHandle || handle >= kBinBufFirstHandle + kBinBufSlots) return nullptr;
    BinBufTable* t = table_of(inst);
    if (!t) return nullptr;
    BinBuf& b = t->slots[handle - kBinBufFirstHandle];
    return b.mem ? &b : nullptr;
}

int32_t binbuf_alloc(Instance& inst, int32_t size) {
    auto& slot_table = tables()[&inst];
    if (!slot_table) slot_table = std::make_unique<BinBufTable>();
    int slot = 0;
    while (slot < kBinBufSlots && slot_table->slots[slot].mem) ++slot;
    if (slot == kBinBufSlots) {
        inst.fail(3024);
        return 0;
    }
    if (size < 0) {
        inst.fail(1126);
        return 0;
    }
    // A zero-size buffer still owns a block, so that its slot counts as used.
    pf::Handle mem = pf::gmem_alloc_low(size ? static_cast<size_t>(size) : 1);
    void* p = mem ? pf::gmem_lock(mem) : nullptr;
    if (!p) {
        if (mem) pf::gmem_free(mem);
        inst.fail(1126);
        return 0;
    }
    BinBuf& b = slot_table->slots[slot];
    b.mem = mem;
    b.data = static_cast<uint8_t*>(p);
    b.size = size;
    b.eod = 0;
    return kBinBufFirstHandle + slot;
}

bool binbuf_free(Instance& inst, int32_t handle) {
    BinBuf* b = binbuf_get(inst, handle);
    if (!b) return false;
    pf::gmem_unlock(b->mem);
    pf::gmem_free(b->mem);
    *b = BinBuf{};
    return true;
}

void binbuf_release_all(const Instance& inst) {
    auto it = tables().find(&inst);
    if (it == tables().end()) return;
    for (BinBuf& b : it->second->slots) {
        if (!b.mem) continue;
        pf::gmem_unlock(b.mem);
        pf::gmem_free(b.mem);
        b = BinBuf{};
    }
    tables().erase(it);
}

int binbuf_count(const Instance& inst) {
    BinBufTable* t = table_of(inst);
    int n = 0;
    if (t)
        for (const BinBuf& b : t->slots) n += b.mem ? 1 : 0;
    return n;
}

intptr_t binbuf_store(Instance& inst, int32_t handle, const char* data, size_t n) {
    BinBuf* b = binbuf_get(inst, handle);
    if (!b) return -1;
    if (!data || n == 0) {
        b->eod = 0;
        return -1;
    }
    size_t cap = static_cast<size_t>(b->size);
    size_t take = n < cap ? n : cap;
    std::memcpy(b->data, data, take);
    b->eod = static_cast<int32_t>(take);
    return take == n ? 1 : 0;
}

namespace {

// binaryalloc(size): the handle carries the binary-handle marker beside its integer.
void binaryalloc_fn(Call& c) {
    int32_t h = binbuf_alloc(c.inst, c.integer(1));
    if (!h) return;
    c.ret_int(h);
    c.result().flags |= kVtBinBuf;
}

// binaryfree(h)
void binaryfree_fn(Call& c) {
    if (!binbuf_free(c.inst, c.integer(1))) return (void)c.fail(3023);
    c.ret_int(0);
}

// binaryeodget(h)
void binaryeodget_fn(Call& c) {
    BinBuf* b = binbuf_get(c.inst, c.integer(1));
    if (!b) return (void)c.fail(3023);
    c.ret_int(b->eod);
}

// binaryeodset(h, eod): returns the previous end of data.
void binaryeodset_fn(Call& c) {
    BinBuf* b = binbuf_get(c.inst, c.integer(1));
    if (!b) return (void)c.fail(3023);
    int32_t eod = c.integer(2);
    if (eod > b->size) return (void)c.fail(3127);
    if (eod < 0) return (void)c.fail(1548);
    int32_t previous = b->eod;
    b->eod = eod;
    c.ret_int(previous);
}

constexpr Builtin kBinBufBuiltins[] = {
    {"binaryalloc", binaryalloc_fn},
    {"binaryeodget", binaryeodget_fn},
    {"binaryeodset", binaryeodset_fn},
    {"binaryfree", binaryfree_fn},
};

}  // namespace
KEL_BUILTIN_FAMILY(kBinBufBuiltins)

}  // namespace kel::lib
