// libFuzzer target: the read-ahead of a script line (token_preread) on arbitrary bytes,
// against the tokenizer's own reading of the same line token by token: every kept token
// is the one read at its position, and the read-ahead creates no variable and raises
// nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "interp/abi/exports.h"
#include "interp/base/instance.h"
#include "interp/data/vars.h"
#include "interp/run/exec.h"
#include "interp/run/tokenizer.h"
#include "platform/gmem.h"
#include "platform/vmem.h"

using namespace kel;
using namespace kel::interp;

namespace {

// An instance as the host makes one (its blocks, its variable table, its heap region).
struct Blocks {
    Handle inst = 0, table = 0;
    HostInstanceRecord rec{};
    uint64_t live = 0;
    static constexpr uint64_t kReserve = 8u << 20;
    bool start() {
        if (DoDaDllInit(0, 0x300A, 0x1305, 0, 0, nullptr, nullptr) != kInstanceBlockSize) return false;
        inst = platform::gmem_alloc(kInstanceBlockSize, true);
        if (!inst || DoDaDllInit(0, inst, 0, 1, 0x1234, "Tarnwick", "code") != kVarRecordSize) return false;
        table = platform::gmem_alloc(size_t{2000} * kVarRecordSize, true);
        if (DoDaDllInit(0, inst, table, 2, 2000, "TARNWICK", "FEN-PROD.INI") != 1) return false;
        size_t page = platform::vm_page_size();
        rec.committed = (65500 + page - 1) / page * page;
        rec.region_base = static_cast<uint8_t*>(platform::vm_reserve(kReserve));
        if (!rec.region_base || !platform::vm_commit(rec.region_base, rec.committed)) return false;
        rec.instance_block = inst;
        rec.var_table_block = table;
        rec.reserved = kReserve;
        live = 1;
        return DoDaDllInit(0, inst, reinterpret_cast<uintptr_t>(rec.region_base), 3, rec.committed, "KELRUN32.DLL",
                           &rec) == 1;
    }
    void stop() {
        live = 0;
        DoDaDllInit(0, inst, 0, 99, reinterpret_cast<uintptr_t>(&live), nullptr, nullptr);
        platform::gmem_free(inst);
        platform::gmem_free(table);
        platform::vm_decommit(rec.region_base, rec.committed);
        platform::vm_release(rec.region_base, kReserve);
    }
};

bool any_statement(const Instance&, uint8_t, int) { return true; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size > 2048 ? 2048 : size);
    text = text.substr(0, text.find_first_of(std::string("\0\n", 2)));
    Blocks b;
    if (!b.start()) abort();
    {
        InstanceLock lock(b.inst);
        TableLock table(*lock.get());
        Instance& inst = *lock.get();
        exec_state(inst);
        LineTokens lt;
        token_cache_line(inst, &lt, text.c_str(), text.size());
        bool whole = token_preread(inst, any_statement);
        if (inst.error()) abort();
        for (const CachedToken& k : lt.toks)
            if (k.type == kTokVariable && var_lookup(inst, lt.texts.substr(k.text_off, k.text_len)) > 0) abort();
        // Read the line again token by token, following the kept tokens from the start.
        inst.tok.cache = nullptr;
        token_begin(inst, text.c_str());
        uint16_t at = 0;
        for (;;) {
            const CachedToken* k = nullptr;
            bool name = false;
            for (const auto* list : {&lt.toks, &lt.elem_names})
                for (const CachedToken& t : *list)
                    if (t.at == at && !k) k = &t;
            for (const CachedToken& t : lt.name_args)
                if (t.at == at && !k) {
                    k = &t;
                    name = true;
                }
            if (!k) {
                if (whole) abort();  // a whole line keeps every token up to its end
                break;
            }
            inst.tok.no_create = name;
            get_token(inst);
            if (inst.error()) abort();  // the read-ahead keeps no token the reading refuses
            if (inst.tok.type != k->type || inst.tok.kw != k->kw ||
                lt.texts.compare(k->text_off, k->text_len, inst.tok.text) != 0 ||
                inst.tok.start != text.c_str() + k->start || inst.tok.pos != text.c_str() + k->end)
                abort();
            if (k->type == kTokNone || k->end <= at) break;
            at = k->end;
        }
        inst.clear_error();
    }
    b.stop();
    return 0;
}
