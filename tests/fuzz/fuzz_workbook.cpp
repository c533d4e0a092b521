#include "ExerciseWorkbook.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Sheets up to 4,096 cells are composed: larger ones (a row across 16,384 columns) would slow
    // the search down to a few inputs a second.
    const QString problem = exerciseWorkbook(QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)), 4096);
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(problem));
        std::abort();
    }
    return 0;
}
