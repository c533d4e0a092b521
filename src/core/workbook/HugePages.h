#pragma once

#include <cstddef>

namespace tessaly::workbook {

// Asks the kernel to back a large, still untouched buffer with transparent huge pages. A big sheet
// fills tens of megabytes at once; with 4 KiB pages the page faults alone cost more than parsing.
// Does nothing for small buffers or where the system offers no such advice.
void preferHugePages(const void *data, std::size_t bytes);

} // namespace tessaly::workbook
