// libcurl's functions the firmware download calls, for a program that does
// not link libcurl: each loads the library at its first call (see
// OnDemandLibrary) and hands on. Without the library they fail as libcurl
// fails, saying why.

#define CURL_DISABLE_TYPECHECK // curl_easy_setopt is defined here, not checked
#include "platform/OnDemandLibrary.h"

#include <curl/curl.h>

#include <cstdarg>

namespace {

platform::OnDemandLibrary &libcurl()
{
    static platform::OnDemandLibrary library("curl", 4);
    return library;
}

template <class Function> Function *resolved(const char *name)
{
    return reinterpret_cast<Function *>(libcurl().resolve(name));
}

} // namespace

extern "C" {

CURLcode curl_global_init(long flags)
{
    static auto *const function = resolved<decltype(curl_global_init)>("curl_global_init");
    return function ? function(flags) : CURLE_FAILED_INIT;
}

CURL *curl_easy_init(void)
{
    static auto *const function = resolved<decltype(curl_easy_init)>("curl_easy_init");
    return function ? function() : nullptr;
}

void curl_easy_cleanup(CURL *handle)
{
    static auto *const function = resolved<decltype(curl_easy_cleanup)>("curl_easy_cleanup");
    if (function)
        function(handle);
}

void curl_easy_reset(CURL *handle)
{
    static auto *const function = resolved<decltype(curl_easy_reset)>("curl_easy_reset");
    if (function)
        function(handle);
}

CURLcode curl_easy_perform(CURL *handle)
{
    static auto *const function = resolved<decltype(curl_easy_perform)>("curl_easy_perform");
    return function ? function(handle) : CURLE_FAILED_INIT;
}

const char *curl_easy_strerror(CURLcode code)
{
    static auto *const function = resolved<decltype(curl_easy_strerror)>("curl_easy_strerror");
    return function ? function(code) : libcurl().failure();
}

// The value's type follows from the option's number, as libcurl itself
// reads it.
CURLcode curl_easy_setopt(CURL *handle, CURLoption option, ...)
{
    static auto *const function = resolved<decltype(curl_easy_setopt)>("curl_easy_setopt");
    if (!function)
        return CURLE_FAILED_INIT;
    va_list value;
    // libcurl's declaration fixes the signature. An enum of int's size is
    // passed as it is, so va_start is sound here; clang warns of promotion
    // for any enum.
    static_assert(sizeof(CURLoption) == sizeof(int), "CURLoption is passed as an int");
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
    va_start(value, option);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
    CURLcode result = CURLE_UNKNOWN_OPTION;
    switch (option / 10000 * 10000) {
    case CURLOPTTYPE_LONG:
        result = function(handle, option, va_arg(value, long));
        break;
    case CURLOPTTYPE_OBJECTPOINT:
    case CURLOPTTYPE_BLOB:
        result = function(handle, option, va_arg(value, void *));
        break;
    case CURLOPTTYPE_FUNCTIONPOINT:
        result = function(handle, option, va_arg(value, void (*)()));
        break;
    case CURLOPTTYPE_OFF_T:
        result = function(handle, option, va_arg(value, curl_off_t));
        break;
    default:
        break;
    }
    va_end(value);
    return result;
}

} // extern "C"
