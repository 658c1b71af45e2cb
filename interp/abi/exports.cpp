// Exported entry points: instance phases, running a buffer, DLLServices, the result
// callback, and the call path into the host. Everything else in the library is hidden.
#include "interp/abi/exports.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "interp/data/convert.h"
#include "interp/run/eval.h"
#include "interp/data/heap.h"
#include "interp/base/keywords.h"
#include "interp/base/messages.h"
#include "interp/run/runner.h"
#include "interp/front/textprep.h"
#include "interp/run/tokenizer.h"
#include "interp/data/vars.h"
#include "interp/api/library.h"
#include "platform/gmem.h"
#include "platform/msgq.h"
#include "platform/process.h"

using namespace kel;
using namespace kel::interp;

namespace {

constexpr uint32_t kMbSetForeground = 0x10000;

// Serialises DoDaDllInit across threads; a nested call from the same thread (a callback
// made during a phase) would wait for itself, so it is refused instead.
std::atomic<int> g_init_counter{0};
thread_local bool t_in_init = false;
bool g_first_phase1_done = false;

void copy_bounded(char* dst, size_t dst_size, const char* src) {
    if (!dst || dst_size == 0) return;
    size_t n = src ? strnlen(src, dst_size - 1) : 0;
    if (n) std::memcpy(dst, src, n);
    dst[n] = '\0';
}

uint32_t random_seed() {
    uint32_t seed = 1;
    for (int tries = 0; seed == 1 && tries < 16; ++tries) {
        uint32_t tick = platform::tick_count();
        uint64_t now = static_cast<uint64_t>(platform::unix_time());
        seed = static_cast<uint32_t>(tick ? now % tick : now);
    }
    return seed == 1 ? 2 : seed;
}

int32_t phase1(Handle h, uintptr_t module, const char* title) {
    void* block = platform::gmem_lock(h);
    if (!block) return 0;
    auto* hdr = static_cast<InstanceBlockHeader*>(block);
    if (Instance* old = instance_from_block(block)) delete old;  // phase 1 run twice: start afresh
    auto* inst = new Instance;
    inst->block = h;
    inst->module = module;
    copy_bounded(inst->product_title, sizeof inst->product_title, title);
    // The settings store is the registry, which does not exist here: Sounds 0 and
    // PrettyDialogs 1 always apply (the defaults in Instance).
    platform::crt_srand(random_seed());
    if (!g_first_phase1_done) {
        // Once per process: the OS is always the NT family 10.0 with single-byte character
        // handling, so there are no flags to probe. The loader's scrambling permutation is
        // built from the generator seeded above once the loader exists.
        g_first_phase1_done = true;
    }
    hdr->magic = kInstanceMagic;
    hdr->version = kInstanceLayoutVersion;
    hdr->obj = inst;
    platform::gmem_unlock(h);
    return kVarRecordSize;
}

int32_t phase2(Hwnd window, Handle h, Handle table, uintptr_t capacity, const char* s1, const char* s2) {
    InstanceLock lock(h);
    if (!lock) return 0;
    Instance& inst = *lock.get();
    copy_bounded(inst.product_id1, sizeof inst.product_id1, s1);
    copy_bounded(inst.product_id2, sizeof inst.product_id2, static_cast<const char*>(s2));
    uint16_t cap = capacity > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(capacity);
    if (!frame_attach_root(inst, table, cap)) return 0;
    inst.window = window;
    Hwnd parent = window ? platform::window_parent(window) : 0;
    inst.parent_window = parent ? parent : window;
    return 1;
}

int32_t phase3(Handle h, uintptr_t base, uintptr_t committed, const void* desc) {
    InstanceLock lock(h);
    if (!lock || !base) return 0;
    Instance& inst = *lock.get();
    auto* d = static_cast<HostInstanceRecord*>(const_cast<void*>(desc));
    uint64_t reserved = d ? d->reserved : committed;
    heap_format(inst, reinterpret_cast<uint8_t*>(base), committed, reserved, d);
    return inst.heap.base ? 1 : 0;
}

int32_t phase99(Handle h, const void* parent) {
    void* block = platform::gmem_lock(h);
    if (!block) return 0;
    Instance* inst = instance_from_block(block);
    if (inst) {
        inst->parent = reinterpret_cast<ParentCallback>(const_cast<void*>(parent));
        {
            TableLock tl(*inst);
            if (tl) {
                // Function frames left by an aborted run go first, then the script's own table.
                for (uint16_t k = 1; k <= kMaxFrame; ++k)
                    if (k != inst->cur_frame && inst->frames[k].table) frame_free(*inst, k);
                vars_release_all(*inst);
            }
        }
        release_value(*inst, inst->result);
        lib::binbuf_release_all(*inst);
        lib::files::files_release_all(*inst);
        lib::dll_release_all(*inst);
        // What the instance wrote, for the host to clear when it keeps the memory.
        if (HostInstanceRecord* d = inst->heap.desc) {
            d->usage_known = 1;
            d->instance_block_used = sizeof(InstanceBlockHeader);
            d->var_table_used = uint64_t{inst->root_peak} * sizeof(VarRecord);
            d->region_zero_from = heap_untouched_from();
            d->region_zero_to = heap_untouched_to(*inst);
        }
        delete inst;
        std::memset(block, 0, sizeof(InstanceBlockHeader));
    }
    platform::gmem_unlock(h);
    return 1;
}

// The variable's value as text for services 2, 45 and 46.
bool value_text(Instance& inst, const ValueCore& v, std::string* out) {
    if (v.flags & kVtVariant) *out = "<complex data type>";
    else if (v.flags & kVtArray) *out = "<array>";
    else if (v.flags & (kVtStr | kVtWide)) *out = value_narrow_text(inst, v);
    else if (v.flags & kVtInt) *out = format_int(v.i);
    else if (v.flags & kVtFloat) {
        // As the script would show it, in the instance's decimals setting.
        *out = format_float(v.f, inst.decimals);
    } else {
        *out = "---";
    }
    return true;
}

intptr_t set_var_string(Instance& inst, const char* name, const char* value, intptr_t count) {
    if (!name || !*name || std::strlen(name) > kMaxVarName || !inst.vars) return 0;
    int32_t idx = var_find_or_create(inst, name);
    if (idx < 0) return 0;
    VarRecord& r = inst.vars[idx];
    if ((r.flags & kVtBinBuf) && (r.flags & kVtInt))
        return lib::binbuf_store(inst, r.i, value, count > 0 ? static_cast<size_t>(count) : 0);
    HeapOff s = heap_strdup_or_fail(inst, value ? value : "");
    if (!s) return 0;
    release_value(inst, r);
    r.flags = kVtStr;
    r.str = s;
    return 1;
}

const VarRecord* lookup_var(Instance& inst, const char* name) {
    if (!name || !*name || !inst.vars) return nullptr;
    uint16_t idx = find_var(inst, name, false);
    return idx == kNoIndex ? nullptr : &inst.vars[idx];
}

intptr_t services(Instance& inst, int32_t code, const char* s1, const char* s2, intptr_t n, intptr_t p,
                  uint16_t* restore) {
    switch (code) {
    case 0:
        inst.about_name = s1 ? s1 : "";
        inst.about_line = s2 ? s2 : "";
        inst.about_n = n;
        return 1;
    case 1:
        return set_var_string(inst, s1, s2, p);
    case 2: {
        if (!s2 || n <= 0 || (s1 && std::strchr(s1, '['))) return 0;  // array elements: not built yet
        const VarRecord* r = lookup_var(inst, s1);
        if (!r) return 0;
        std::string text;
        value_text(inst, *r, &text);
        copy_bounded(const_cast<char*>(s2), static_cast<size_t>(n), text.c_str());
        return 1;
    }
    case 7:
        inst.stop_requested = 1;
        inst.stop_code = n;
        return 1;
    case 13:
        *restore = static_cast<uint16_t>(n);
        return 1;
    case 23: {
        intptr_t prev = inst.html_log;
        if (n == 0 || n == 1) inst.html_log = static_cast<int32_t>(n);
        // A longer path would be cut into another file's name: refuse it instead.
        if (s1 && *s1 && strnlen(s1, kHtmlLogPathMax + 1) <= kHtmlLogPathMax) inst.html_log_path = s1;
        return prev;
    }
    case 24: {
        if (!s1) return 0;
        char sep = (s2 && *s2) ? s2[0] : '|';
        return set_keywords_disabled(s1, sep, n == 0);
    }
    case 25: {
        if (!inst.pending_for_host || n <= 0) return 0;
        // s1 receives the detail (the failing line), s2 the headline (the message line).
        bool any = false;
        if (s1 && !inst.pending_line.empty()) {
            copy_bounded(const_cast<char*>(s1), static_cast<size_t>(n), inst.pending_line.c_str());
            any = true;
        }
        if (s2 && !inst.pending_message.empty()) {
            copy_bounded(const_cast<char*>(s2), static_cast<size_t>(n), inst.pending_message.c_str());
            any = true;
        }
        return any ? 1 : 0;
    }
    case 28:
        // s2 carries the byte count, p the handle.
        return lib::binbuf_store(inst, static_cast<int32_t>(p), s1, reinterpret_cast<uintptr_t>(s2));
    case 29:
        if (n == 1) return inst.cur_count;
        if (n == 2 && inst.vars && p >= 0 && p < inst.cur_count) return reinterpret_cast<intptr_t>(&inst.vars[p]);
        return 0;
    case 33:
        // s1 the zlib stream, n its byte count, p the binary buffer that receives it.
        if (!s1 || n < 0 || n > INT32_MAX) return 0;
        return lib::binbuf_inflate(inst, reinterpret_cast<const uint8_t*>(s1), static_cast<size_t>(n),
                                   static_cast<int32_t>(p));
    case 37:
        return inst.stop_requested;
    case 39: {
        intptr_t prev = inst.include_mode;
        if (n >= 0 && n <= 3) inst.include_mode = static_cast<uint32_t>(n);
        return prev;
    }
    case 41:
        if (p <= 0 || !inst.heap.base || static_cast<uint64_t>(p) >= inst.heap.top) return 0;
        return reinterpret_cast<intptr_t>(inst.heap.base + p);
    case 42:
        return heap_strdup(inst, s1 ? s1 : "");
    case 43:
    case 44: {
        // The handle is in the variable named by s1, or s2 is the handle itself.
        int32_t handle = static_cast<int32_t>(reinterpret_cast<intptr_t>(s2));
        if (s1 && *s1) {
            const VarRecord* r = lookup_var(inst, s1);
            if (!r || !(r->flags & kVtInt)) return 0;
            handle = r->i;
        }
        lib::BinBuf* b = lib::binbuf_get(inst, handle);
        if (!b) return 0;
        if (code == 43) return n == 1 ? b->mem : n == 2 ? b->size : n == 3 ? b->eod : 0;
        if (n == -1 && p >= 0 && p <= b->size) b->eod = static_cast<int32_t>(p);
        return b->eod;  // resizing is not built yet: other requests leave the buffer as it is
    }
    case 45:
    case 46: {
        const VarRecord* r = nullptr;
        std::string text;
        if (s1 && *s1 && inst.vars) {
            int32_t idx = var_lookup(inst, var_name_key(s1));
            if (idx < 0) {
                inst.fail(Err::UndefinedVariable);
                return 0;
            }
            r = &inst.vars[idx];
        } else {
            return 0;
        }
        value_text(inst, *r, &text);
        if (code == 46 && s2) {
            if (n > 0) copy_bounded(const_cast<char*>(s2), static_cast<size_t>(n), text.c_str());
            else std::memcpy(const_cast<char*>(s2), text.c_str(), text.size() + 1);  // sized by a prior 45
        }
        return static_cast<intptr_t>(text.size() + 1);
    }
    case 47:
        inst.info(s1 ? s1 : "");
        return 1;
    default:
        return 0;
    }
}

}  // namespace

KEL_EXPORT int32_t DoDaDllInit(Hwnd window, uintptr_t instance, uintptr_t a, uint32_t phase, uintptr_t p,
                               const char* s1, const void* s2) {
    if (t_in_init) return 0;
    while (g_init_counter.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ++g_init_counter;
    t_in_init = true;
    int32_t r = 0;
    Handle h = static_cast<Handle>(instance);
    switch (phase & 0xFFFF) {
    case 0:
        if (((a & 0xFFFF) >> 8) == 0x13) r = kInstanceBlockSize;
        else platform::message_box("Version Interface Incompatible", "DLL mismatch", kMbSetForeground);
        break;
    case 1:
        r = phase1(h, p, s1);
        break;
    case 2:
        r = phase2(window, h, static_cast<Handle>(a), p, s1, static_cast<const char*>(s2));
        break;
    case 3:
        r = phase3(h, a, p, s2);
        break;
    case 99:
        r = phase99(h, s2);
        break;
    default:
        break;
    }
    t_in_init = false;
    --g_init_counter;
    return r;
}

KEL_EXPORT int32_t ProcessDaBatBuffer(Hwnd window, Handle instance, Handle buffer, ParentCallback parent,
                                      const KeywordRecord* host_table) {
    InstanceLock lock(instance);
    if (!lock) return 0;
    Instance& inst = *lock.get();
    inst.window = window;
    platform::GmemLock buf(buffer);
    if (!buf) return 0;
    char* text = buf.as<char>();
    size_t size = platform::gmem_size(buffer);
    if (size == 0) return 0;
    size_t len = strnlen(text, size);
    if (len == size) {  // not terminated inside its block: end it at the last byte
        --len;
        text[len] = '\0';
    }
    if (len > 1 && has_utf16_bom(text, size)) {
        long n = convert_utf16_buffer(text, size, inst.code_page);
        if (n < 0) return 0;
        len = static_cast<size_t>(n);
    }
    normalize_line_ends(text, len);
    // #include expansion and scrambling are the loader's; until it exists the text runs as is.
    TableLock table(inst);
    if (!table) return 0;
    if (inst.heap.desc && inst.heap.desc->region_base) inst.heap.base = inst.heap.desc->region_base;
    if (!inst.heap.base) return 0;
    Hwnd pw = window ? platform::window_parent(window) : 0;
    inst.parent_window = pw ? pw : window;
    inst.parent = parent;
    inst.host_table = host_table;
    inst.stop_requested = 0;
    inst.stop_code = 0;
    run_buffer(inst, text, len);
    release_value(inst, inst.result);
    return 1;
}

KEL_EXPORT intptr_t DLLServices(Handle instance, int32_t code, const char* s1, const char* s2, intptr_t n,
                                intptr_t p) {
    InstanceLock lock(instance);
    if (!lock) return 0;
    Instance& inst = *lock.get();
    TableLock table(inst);  // services that need no variables work without it
    uint16_t restore = inst.err_code;
    inst.err_code = 0;
    intptr_t r = services(inst, code, s1, s2, n, p, &restore);
    if (inst.err_code != 0) r = 0;
    inst.err_code = restore;
    return r;
}

KEL_EXPORT int32_t ViperAnswer(int32_t status, uint32_t magic, RequestRecord* req, ExchangeValue* v) {
    (void)magic;
    if (!req || req->tag != kRequestRecordTag || !v) return -4;
    Instance* inst = instance_from_block(req->instance);
    if (!inst || !req->result_slot) return -4;
    const uint32_t f = v->flags;
    if ((f & kVtVariant) && (f & kVtArray)) return -4;
    if (status < 0) {
        if (!(f & (kVtVariant | kVtArray | kVtWide | kVtFloat | kVtInt))) {  // a string, or no type at all
            const char* s = v->str ? v->str : "";
            inst->ext_error_text.assign(s, strnlen(s, kExtErrorTextMax));
        } else {
            inst->ext_error_text = message_text(Err::ExtenderUndefinedError);
        }
        inst->ext_error_log_text = inst->ext_error_text.substr(0, kExtErrorLogMax);
        return status;
    }
    Value& slot = *static_cast<Value*>(req->result_slot);
    release_value(*inst, slot);
    slot.flags = 0;
    if (f & kVtVariant) {
        std::memcpy(slot.variant, v->variant, sizeof slot.variant);
        slot.flags = kVtVariant;
    } else if (f & kVtArray) {
        slot.str = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(v->str));  // array handles are 32-bit ids
        slot.flags = kVtArray;
    } else if (f & kVtWide) {
        std::u16string_view w = v->wstr ? std::u16string_view(v->wstr) : std::u16string_view();
        HeapOff off = heap_wstrdup(*inst, w);
        if (!off) return -4;
        slot.wstr = off;
        slot.flags = kVtWide;
    } else if (f & kVtFloat) {
        slot.f = v->f;
        slot.flags = kVtFloat;
    } else if (f & kVtInt) {
        slot.i = v->i;
        slot.flags = kVtInt;
    } else if (f & kVtStr) {
        HeapOff off = heap_strdup(*inst, v->str ? v->str : "");
        if (!off) return -4;
        slot.str = off;
        slot.flags = kVtStr;
    } else {
        return -4;
    }
    return status;
}

namespace kel::interp {

uint16_t host_failure_error(int32_t rc) {
    switch (rc) {
    case -1: return err_number(Err::ExtenderMinorError);
    case -2: return err_number(Err::ExtenderModerateError);
    case -3: return err_number(Err::ExtenderSevereError);
    case -5: return err_number(Err::Cancel);
    case -6: return err_number(Err::ExtensionNoText);
    case -7: return err_number(Err::ExtenderArrayError);
    default: return err_number(Err::ExtenderOutOfMemory);
    }
}

int32_t call_host(Instance& inst, int32_t code, ExchangeValue* args, int32_t argc) {
    if (!inst.parent) return 0;
    platform::GmemLock self(inst.block);
    RequestRecord req{};
    req.instance = self.get();
    req.result_slot = &inst.result;
    req.tag = kRequestRecordTag;
    req.size = static_cast<int32_t>(sizeof(RequestRecord));
    req.services = &DLLServices;
    req.instance_block = inst.block;
    req.host_handle = inst.host_handle;
    req.parent_window = inst.parent_window;
    ExchangeValue result{};
    inst.ext_error_text.clear();
    int32_t rc = inst.parent(inst.window, inst.module, kCallbackMagic, code, &ViperAnswer, &req, 0, args, argc,
                             &result);
    if (rc >= 0) return rc;
    inst.ext_error = 999;
    // The pending text opens with its number: "10119: WebLogLine: ...".
    std::string_view t = inst.ext_error_text;
    size_t colon = t.find(':');
    std::string head(t.substr(0, std::min<size_t>(colon == std::string_view::npos ? t.size() : colon, 9)));
    long num = std::strtol(head.c_str(), nullptr, 10);
    if (num != 0) inst.ext_error = static_cast<int32_t>(num);
    inst.fail(host_failure_error(rc));
    inst.real_code = static_cast<uint16_t>(inst.ext_error);
    return rc;
}

}  // namespace kel::interp

KEL_EXPORT uint32_t VMalloc(void* instance, uint32_t n) {
    Instance* inst = instance_from_block(instance);
    return inst ? heap_alloc(*inst, n) : 0;
}

// UncompressBuffer(instance, data, count, handle): inflates one zlib stream of `count`
// bytes into a binary buffer. The decompressed length (the buffer's new end of data), or -1
// with the buffer unchanged; the instance's error number is left as it was.
KEL_EXPORT int32_t UncompressBuffer(void* instance, const void* data, int32_t count, int32_t handle) {
    Instance* inst = instance_from_block(instance);
    if (!inst || !data || count < 0) return -1;
    uint16_t saved = inst->err_code;
    int32_t r = kel::lib::binbuf_inflate(*inst, static_cast<const uint8_t*>(data), static_cast<size_t>(count), handle);
    inst->err_code = saved;
    return r;
}

KEL_EXPORT void VFree(void* instance, uint32_t offset) {
    if (Instance* inst = instance_from_block(instance)) heap_free(*inst, offset);
}

KEL_EXPORT uint32_t find_var(void* instance, const char* name, int32_t report) {
    Instance* inst = instance_from_block(instance);
    if (!inst || !name) return kNoIndex;
    TableLock table(*inst);
    if (!table) return kNoIndex;
    return kel::interp::find_var(*inst, name, report != 0);
}

// No desktop: there is no about box, menu, hot key or DDE conversation to serve.
KEL_EXPORT int32_t DoDllAbout() { return 0; }
KEL_EXPORT int32_t LoadStandardMenu() { return 0; }
KEL_EXPORT int32_t ParseStandardMenu() { return 0; }
KEL_EXPORT int32_t MenuSelectProcessing() { return 0; }
KEL_EXPORT int32_t HotKeyCheck() { return 0; }
KEL_EXPORT int32_t ClientCallback() { return 0; }

// The tokenizer and the evaluator for extension libraries, which call back with the
// instance they were handed while a script runs (its tables are locked then).
KEL_EXPORT int32_t get_token(void* instance) {
    if (Instance* inst = instance_from_block(instance)) kel::interp::get_token(*inst);
    return 0;
}

KEL_EXPORT int32_t get_string_token(void* instance) {
    if (Instance* inst = instance_from_block(instance)) kel::interp::get_string_token(*inst);
    return 0;
}

KEL_EXPORT int32_t putback(void* instance) {
    if (Instance* inst = instance_from_block(instance)) kel::interp::putback(*inst);
    return 0;
}

// `result` is the interpreter's own value record (heap offsets); it is overwritten.
KEL_EXPORT int32_t ProcessSubExpression(void* instance, void* result, int32_t allow_assign, int32_t deref_target,
                                        const char* line_text) {
    Instance* inst = instance_from_block(instance);
    if (!inst || !result) return 0;
    kel::interp::eval_expression(*inst, *static_cast<Value*>(result), allow_assign != 0, deref_target != 0,
                                 line_text);
    return inst->error();
}
