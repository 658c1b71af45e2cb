// A fake host that sets up an interpreter instance exactly as tarnhost does.
#pragma once
#include <gtest/gtest.h>

#include "interp/abi/exports.h"
#include "interp/data/vars.h"
#include "platform/gmem.h"
#include "platform/vmem.h"

namespace kel::test {

struct FakeHost {
    Handle inst_block = 0;
    Handle table_block = 0;
    HostInstanceRecord rec{};
    uint64_t live = 0;
    uint64_t reserve = 8u << 20;
    uint64_t commit = 0;

    bool low = false;  // the blocks below 2 GiB, as tarnhost allocates them

    bool start(uint16_t capacity = 2000) {
        int32_t size = DoDaDllInit(0, 0x300A, 0x1305, 0, 0, nullptr, nullptr);
        if (size != kInstanceBlockSize) return false;
        inst_block = low ? platform::gmem_alloc_low(static_cast<size_t>(size))
                         : platform::gmem_alloc(static_cast<size_t>(size), true);
        if (!inst_block) return false;
        int32_t rec_size = DoDaDllInit(0, inst_block, 0, 1, 0x1234, "Tarnwick", "code");
        if (rec_size != kVarRecordSize) return false;
        table_block = low ? platform::gmem_alloc_low(size_t{capacity} * rec_size)
                          : platform::gmem_alloc(size_t{capacity} * rec_size, true);
        if (DoDaDllInit(0, inst_block, table_block, 2, capacity, "TARNWICK", "FEN-PROD.INI") != 1) return false;
        size_t page = platform::vm_page_size();
        commit = (65500 + page - 1) / page * page;
        rec.region_base = static_cast<uint8_t*>(platform::vm_reserve(reserve));
        if (!rec.region_base || !platform::vm_commit(rec.region_base, commit)) return false;
        rec.instance_block = inst_block;
        rec.var_table_block = table_block;
        rec.committed = commit;
        rec.reserved = reserve;
        if (DoDaDllInit(0, inst_block, reinterpret_cast<uintptr_t>(rec.region_base), 3, commit, "KELRUN32.DLL",
                        &rec) != 1)
            return false;
        ++live;
        return true;
    }
    void stop() {
        if (!inst_block) return;
        --live;
        DoDaDllInit(0, inst_block, 0, 99, reinterpret_cast<uintptr_t>(&live), nullptr, nullptr);
        platform::gmem_free(inst_block);
        platform::gmem_free(table_block);
        platform::vm_decommit(rec.region_base, rec.committed);
        platform::vm_release(rec.region_base, reserve);
        inst_block = 0;
    }
    // Phase 99 only: the blocks and the region stay for the caller to look at.
    void stop_instance() {
        if (!inst_block) return;
        --live;
        DoDaDllInit(0, inst_block, 0, 99, reinterpret_cast<uintptr_t>(&live), nullptr, nullptr);
    }
    // Then what tarnhost does with them: frees them, clearing only what the instance
    // reported it wrote.
    void free_as_reported() {
        const bool known = rec.usage_known == 1;
        platform::gmem_free_used(inst_block, known ? rec.instance_block_used : SIZE_MAX);
        platform::gmem_free_used(table_block, known ? rec.var_table_used : SIZE_MAX);
        platform::vm_decommit_except(rec.region_base, rec.committed, known ? rec.region_zero_from : 0,
                                     known ? rec.region_zero_to : 0);
        platform::vm_release(rec.region_base, reserve);
        inst_block = 0;
        rec = HostInstanceRecord{};
    }
    intptr_t svc(int32_t code, const char* s1 = nullptr, const char* s2 = nullptr, intptr_t n = 0, intptr_t p = 0) {
        return DLLServices(inst_block, code, s1, s2, n, p);
    }
};

// Locks the instance and its current table, as an entry point does.
struct Entered {
    explicit Entered(Handle h) : lock(h), table(*lock.get()) {}
    interp::Instance& inst() { return *lock.get(); }
    interp::InstanceLock lock;
    interp::TableLock table;
};

}  // namespace kel::test
