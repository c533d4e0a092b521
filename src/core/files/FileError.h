#pragma once

#include <QIODevice>
#include <QString>

namespace tessaly {

// Why a file operation on `device` failed, in Japanese. Qt words file errors in English (its own
// texts and the C library's for the common causes); unknown texts are passed on as they are.
QString describeFileError(const QIODevice &device);

} // namespace tessaly
