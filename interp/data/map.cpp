// Map hash tables: FNV-1a buckets, entries carved from pools and recycled through a free
// list. The script functions are in lib/maps.cpp.
#include "interp/data/map.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "interp/data/heap.h"
#include "platform/gmem.h"
#include "platform/process.h"
#include "platform/text.h"

namespace kel::interp {

struct MapPool {
    MapPool* next;
    MapEntry entries[1];
};

namespace {

// Keys with equal hashes are told apart by the collation's case-blind comparison.
bool keys_equal(std::string_view a, std::string_view b) { return platform::compare_word_sort(a, b, true) == 0; }

ArrayHeader* map_header(uint32_t handle) {
    ArrayHeader* h = array_header(handle);
    return h && (h->flags & kArrIsMap) && h->elements ? h : nullptr;
}

MapTable* table_of(ArrayHeader* h) {
    void* p = platform::gmem_lock(h->elements);
    if (p) platform::gmem_unlock(h->elements);
    return static_cast<MapTable*>(p);
}

std::string_view key_of(const Instance& inst, const MapEntry& e) { return heap_str(inst, e.key); }

// Frees every entry's strings, the buckets and the pools; the table stays, empty.
void clear_table(Instance& inst, MapTable* t) {
    if (t->buckets)
        for (int32_t b = 0; b < t->bucket_count; ++b)
            for (MapEntry* e = t->buckets[b]; e; e = e->next) {
                clear_element(inst, e->value);
                if (e->owns_key && e->key) heap_free(inst, e->key);
            }
    std::free(t->buckets);
    t->buckets = nullptr;
    for (MapPool* p = t->pools; p;) {
        MapPool* next = p->next;
        std::free(p);
        p = next;
    }
    t->pools = nullptr;
    t->free_list = nullptr;
    t->entry_count = 0;
}

MapEntry* find_entry(Instance& inst, MapTable* t, std::string_view key, uint32_t hash, MapEntry*** link) {
    if (!t->buckets) return nullptr;
    MapEntry** at = &t->buckets[hash % static_cast<uint32_t>(t->bucket_count)];
    for (; *at; at = &(*at)->next)
        if ((*at)->hash == hash && keys_equal(key_of(inst, **at), key)) {
            if (link) *link = at;
            return *at;
        }
    return nullptr;
}

void set_count(ArrayHeader* h, const MapTable* t) {
    h->dims[0] = t->entry_count;
    h->count = t->entry_count;
}

}  // namespace

uint32_t map_hash(std::string_view key) {
    uint32_t h = 2166136261u;
    for (unsigned char c : key) {
        h ^= platform::to_lower(c);
        h *= 16777619u;
    }
    return h;
}

bool map_create(Instance& inst, ValueCore& out, int32_t capacity) {
    Handle hh = platform::gmem_alloc(sizeof(ArrayHeader), true);
    Handle th = hh ? platform::gmem_alloc(sizeof(MapTable), true) : 0;
    if (!th) {
        if (hh) platform::gmem_free(hh);
        inst.fail(Err::ArrayAllocFailed);
        return false;
    }
    void* p = platform::gmem_lock(hh);
    platform::gmem_unlock(hh);
    auto* h = static_cast<ArrayHeader*>(p);
    h->dim_count = 1;
    h->flags = kArrIsMap;
    h->magic = kArrayMagic;
    h->elements = th;
    h->refs = 1;
    h->stamp = platform::perf_counter_ns();
    MapTable* t = table_of(h);
    t->bucket_count = capacity > 0 ? capacity : kMapDefaultBuckets;
    // One pool per eighth of the buckets, but never an empty pool for small tables.
    t->per_pool = std::max(4, t->bucket_count / 8);
    std::memset(&out, 0, sizeof out);
    out.flags = kVtArray;
    out.str = hh;
    array_install_release_hook();
    return true;
}

MapTable* map_table(uint32_t handle) {
    ArrayHeader* h = map_header(handle);
    return h ? table_of(h) : nullptr;
}

MapTable* map_of(Instance& inst, const ValueCore& v) {
    if (!(v.flags & kVtArray)) {
        inst.fail(Err::NotAnArray);
        return nullptr;
    }
    MapTable* t = map_table(v.str);
    if (!t) inst.fail(Err::ArrayAccessError);
    return t;
}

ValueCore* map_find(Instance& inst, uint32_t handle, std::string_view key) {
    MapTable* t = map_table(handle);
    if (!t) return nullptr;
    MapEntry* e = find_entry(inst, t, key, map_hash(key), nullptr);
    return e ? &e->value : nullptr;
}

ValueCore* map_find_or_insert(Instance& inst, uint32_t handle, std::string_view key) {
    ArrayHeader* h = map_header(handle);
    if (!h) {
        inst.fail(Err::ArrayAccessError);
        return nullptr;
    }
    MapTable* t = table_of(h);
    uint32_t hash = map_hash(key);
    if (MapEntry* e = find_entry(inst, t, key, hash, nullptr)) return &e->value;
    if (t->entry_count == INT32_MAX) {
        t->out_of_memory = 1;
        inst.fail(Err::ArrayAllocFailed);
        return nullptr;
    }
    if (!t->buckets) {
        t->buckets = static_cast<MapEntry**>(std::calloc(static_cast<size_t>(t->bucket_count), sizeof(MapEntry*)));
        if (!t->buckets) {
            t->out_of_memory = 1;
            inst.fail(Err::ArrayAllocFailed);
            return nullptr;
        }
    }
    if (!t->free_list) {
        size_t bytes = sizeof(MapPool) + sizeof(MapEntry) * static_cast<size_t>(t->per_pool - 1);
        auto* pool = static_cast<MapPool*>(std::calloc(1, bytes));
        if (!pool) {
            t->out_of_memory = 1;
            inst.fail(Err::ArrayAllocFailed);
            return nullptr;
        }
        pool->next = t->pools;
        t->pools = pool;
        for (int32_t i = t->per_pool - 1; i >= 0; --i) {
            pool->entries[i].next = t->free_list;
            t->free_list = &pool->entries[i];
        }
    }
    HeapOff k = heap_strdup_or_fail(inst, key);
    if (!k) return nullptr;
    MapEntry* e = t->free_list;
    t->free_list = e->next;
    std::memset(e, 0, sizeof *e);
    e->key = k;
    e->owns_key = 1;
    e->hash = hash;
    MapEntry** bucket = &t->buckets[hash % static_cast<uint32_t>(t->bucket_count)];
    e->next = *bucket;
    *bucket = e;
    ++t->entry_count;
    set_count(h, t);
    return &e->value;
}

bool map_remove(Instance& inst, uint32_t handle, std::string_view key) {
    ArrayHeader* h = map_header(handle);
    if (!h) return false;
    MapTable* t = table_of(h);
    MapEntry** link = nullptr;
    MapEntry* e = find_entry(inst, t, key, map_hash(key), &link);
    if (!e) return false;
    *link = e->next;
    clear_element(inst, e->value);
    if (e->owns_key && e->key) heap_free(inst, e->key);
    std::memset(e, 0, sizeof *e);
    e->next = t->free_list;
    t->free_list = e;
    --t->entry_count;
    if (t->entry_count == 0) clear_table(inst, t);
    set_count(h, t);
    return true;
}

void map_destroy(Instance& inst, ArrayHeader* h) {
    if (!h->elements) return;
    if (MapTable* t = table_of(h)) clear_table(inst, t);
    platform::gmem_free(h->elements);
    h->elements = 0;
    h->count = 0;
    h->dims[0] = 0;
}

bool map_lookup(Instance& inst, uint32_t handle, std::string_view key, ValueCore& out) {
    if (!map_table(handle)) {
        inst.fail(Err::ArrayAccessError);
        return false;
    }
    ValueCore* v = map_find(inst, handle, key);
    if (!v) {
        inst.fail(Err::SubscriptOutOfBounds);
        return false;
    }
    if (v->flags == 0) {
        inst.fail(Err::UninitializedElement);
        return false;
    }
    ValueCore copy;
    if (!copy_value_core(inst, *v, copy)) return false;
    release_value(inst, out);
    out = copy;
    return true;
}

bool map_store(Instance& inst, uint32_t handle, std::string_view key, const ValueCore& v) {
    if (v.flags & kVtArray) {
        inst.fail(Err::EmbeddedArray);
        return false;
    }
    ValueCore copy;
    if (!copy_value_core(inst, v, copy)) return false;
    ValueCore* slot = map_find_or_insert(inst, handle, key);
    if (!slot) {
        clear_element(inst, copy);
        return false;
    }
    clear_element(inst, *slot);
    *slot = copy;
    return true;
}

}  // namespace kel::interp
