// libcups's functions the report engine calls to hand a print file to a
// queue, for a program that does not link libcups: each loads the library
// at its first call (see OnDemandLibrary) and hands on. Without the library
// nothing is printed and the error says why.

#include "platform/OnDemandLibrary.h"

#include <cups/cups.h>

namespace {

platform::OnDemandLibrary &libcups()
{
    static platform::OnDemandLibrary library("cups", 2);
    return library;
}

template <class Function> Function *resolved(const char *name)
{
    return reinterpret_cast<Function *>(libcups().resolve(name));
}

} // namespace

extern "C" {

int cupsAddOption(const char *name, const char *value, int num_options, cups_option_t **options)
{
    static auto *const function = resolved<decltype(cupsAddOption)>("cupsAddOption");
    return function ? function(name, value, num_options, options) : num_options;
}

void cupsFreeOptions(int num_options, cups_option_t *options)
{
    static auto *const function = resolved<decltype(cupsFreeOptions)>("cupsFreeOptions");
    if (function)
        function(num_options, options);
}

int cupsPrintFile(const char *name, const char *filename, const char *title, int num_options,
                  cups_option_t *options)
{
    static auto *const function = resolved<decltype(cupsPrintFile)>("cupsPrintFile");
    return function ? function(name, filename, title, num_options, options) : 0;
}

const char *cupsLastErrorString(void)
{
    static auto *const function = resolved<decltype(cupsLastErrorString)>("cupsLastErrorString");
    return function ? function() : libcups().failure();
}

} // extern "C"
