#include "ExerciseWorkbook.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Sheets up to 65,536 cells are composed: larger ones would only slow the search down.
    const QString problem =
        exerciseWorkbook(QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)), 65536);
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(problem));
        std::abort();
    }
    return 0;
}
