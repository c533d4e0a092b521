// The libFuzzer harness comparing the fast XML reader with expat on the same bytes.
#include "CompareXmlReaders.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (!fastReaderAgreesWithExpat(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size))))
        std::abort();
    return 0;
}
