// The library's exported entry points (C linkage, bound by name). The path by which the
// interpreter calls the host's command callback is declared in interp/run/host_call.h
// and defined in interp/abi/exports.cpp, beside the entry points whose addresses it passes.
#pragma once
#include <cstdint>

#include "interp/base/instance.h"
#include "interp/run/host_call.h"
#include "shared/abi.h"

KEL_EXPORT int32_t DoDaDllInit(kel::Hwnd window, uintptr_t instance, uintptr_t a, uint32_t phase, uintptr_t p,
                               const char* s1, const void* s2);
KEL_EXPORT int32_t ProcessDaBatBuffer(kel::Hwnd window, kel::Handle instance, kel::Handle buffer,
                                      kel::ParentCallback parent, const kel::KeywordRecord* host_table);
KEL_EXPORT intptr_t DLLServices(kel::Handle instance, int32_t code, const char* s1, const char* s2, intptr_t n,
                                intptr_t p);
KEL_EXPORT int32_t ViperAnswer(int32_t status, uint32_t magic, kel::RequestRecord* req, kel::ExchangeValue* result);
KEL_EXPORT uint32_t VMalloc(void* instance, uint32_t n);
KEL_EXPORT int32_t UncompressBuffer(void* instance, const void* data, int32_t count, int32_t handle);
KEL_EXPORT void VFree(void* instance, uint32_t offset);
KEL_EXPORT uint32_t find_var(void* instance, const char* name, int32_t report);
KEL_EXPORT int32_t DoDllAbout();
KEL_EXPORT int32_t LoadStandardMenu();
KEL_EXPORT int32_t ParseStandardMenu();
KEL_EXPORT int32_t MenuSelectProcessing();
KEL_EXPORT int32_t HotKeyCheck();
KEL_EXPORT int32_t ClientCallback();
// Creates an array the way arrdimension does, for extenders (interp/data/array.cpp).
KEL_EXPORT int32_t CreateMyArray(void* instance, kel::interp::ValueCore* out, int32_t d1, int32_t d2, int32_t d3,
                                 int32_t d4, int32_t d5, uint8_t flags, int32_t given);
