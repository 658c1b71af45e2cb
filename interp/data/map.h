// Maps: string keys (case-insensitive) to value cores, in a hash table behind an array
// header flagged kArrIsMap. The evaluator reads and writes `m[key]` through map_lookup and
// map_store; the script functions (mapcreate and the rest) are in lib/maps.cpp.
#pragma once
#include <cstdint>
#include <string_view>

#include "interp/data/array.h"

namespace kel::interp {

constexpr int32_t kMapDefaultBuckets = 33;

struct MapEntry {
    HeapOff key;
    uint32_t owns_key;
    ValueCore value;  // flags 0: uninitialised
    MapEntry* next;   // next entry in the same bucket
    uint32_t hash;
};

struct MapPool;

// The record the header's `elements` block holds.
struct MapTable {
    MapEntry** buckets;  // nullptr until the first insertion (and after the last removal)
    int32_t bucket_count;
    int32_t entry_count;
    MapEntry* free_list;
    MapPool* pools;
    int32_t per_pool;
    int32_t out_of_memory;
};

// FNV-1a over the lower-cased bytes of the key.
uint32_t map_hash(std::string_view key);

// Creates an empty map with `capacity` buckets (33 when capacity <= 0). `out` is
// overwritten and owns the one reference. 1631 on failure.
bool map_create(Instance& inst, ValueCore& out, int32_t capacity);
// The table of a map handle; nullptr when the handle is not a map.
MapTable* map_table(uint32_t handle);
// The header and table of a value that map functions take: 1641 for a non-array value,
// 1637 for an array that is not a map.
MapTable* map_of(Instance& inst, const ValueCore& v);

ValueCore* map_find(Instance& inst, uint32_t handle, std::string_view key);
// A new entry gets an uninitialised value. nullptr with 1631 (or 3096 for the key) raised.
ValueCore* map_find_or_insert(Instance& inst, uint32_t handle, std::string_view key);
// Releases the entry's value and key. True when an entry was removed.
bool map_remove(Instance& inst, uint32_t handle, std::string_view key);
// Frees every entry, the buckets, the pools and the table block (the header is the
// caller's). Called by array_release for the last reference.
void map_destroy(Instance& inst, ArrayHeader* h);

// `m[key]` on the right-hand side: a copy of the value (out released first); 1636 for a
// missing key, 1640 for an uninitialised value.
bool map_lookup(Instance& inst, uint32_t handle, std::string_view key, ValueCore& out);
// `m[key] = v`: find-or-insert, then store a copy (3647 for an array value).
bool map_store(Instance& inst, uint32_t handle, std::string_view key, const ValueCore& v);

// Visits the entries in bucket order, most recently inserted first within a bucket. The
// visitor returns false to stop.
template <class F>
void map_for_each(uint32_t handle, F&& visit) {
    MapTable* t = map_table(handle);
    if (!t || !t->buckets) return;
    for (int32_t b = 0; b < t->bucket_count; ++b)
        for (MapEntry* e = t->buckets[b]; e; e = e->next)
            if (!visit(*e)) return;
}

}  // namespace kel::interp
