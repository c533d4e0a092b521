// libgsf's headers come first: GLib declares members named like Qt's keyword macros.
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-utils.h>

#include "core/workbook/OleStorage.h"
#include "core/workbook/GObjectPtr.h"
#include "core/workbook/ReadFailures.h"

#include <memory>
#include <mutex>

namespace tessaly::workbook {
namespace {

// libgsf reports damaged containers on standard error as well as through its result; the result
// alone becomes the user's message, so its log output is dropped. Some of its messages carry no
// domain, and damaged ZIP dates make GLib itself complain; nothing else in the program logs
// through GLib.
void silenceGsfLog()
{
    for (const char *domain : {static_cast<const char *>(nullptr), "libgsf", "libgsf:msole", "libgsf:utils", "libgsf:zip", "GLib"})
        g_log_set_handler(
            domain, GLogLevelFlags(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION),
            [](const gchar *, GLogLevelFlags, const gchar *, gpointer) {}, nullptr);
}

} // namespace

void initGsf()
{
    static std::once_flag gsfReady;
    std::call_once(gsfReady, [] {
        gsf_init();
        silenceGsfLog();
    });
}

WorkbookStream::WorkbookStream(QByteArray bareStream)
    : m_file(std::move(bareStream))
    , m_bytes(reinterpret_cast<const uchar *>(m_file.constData()), std::size_t(m_file.size()))
{
}

Result<WorkbookStream> readWorkbookStream(QByteArray file)
{
    initGsf();

    GObjectPtr<GsfInput> input(gsf_input_memory_new(reinterpret_cast<const guint8 *>(file.constData()), file.size(), FALSE));
    GError *error = nullptr;
    GObjectPtr<GsfInfile> storage(gsf_infile_msole_new(input.get(), &error));
    if (!storage) {
        const QString reason = error ? QString::fromUtf8(error->message) : QString();
        if (error)
            g_error_free(error);
        return corruptFile(QStringLiteral("OLE2 複合ファイルとして読めません: %1").arg(reason));
    }

    // Excel 97 and later name the stream Workbook; Excel 5/95 named it Book. Writers vary the case.
    // An encrypted .xlsx is an OLE2 file holding EncryptionInfo and EncryptedPackage.
    int biff8Child = -1;
    int biff5Child = -1;
    bool encryptedPackage = false;
    const int children = gsf_infile_num_children(storage.get());
    for (int i = 0; i < children; ++i) {
        const QString name = QString::fromUtf8(gsf_infile_name_by_index(storage.get(), i));
        if (biff8Child < 0 && name.compare(QStringLiteral("Workbook"), Qt::CaseInsensitive) == 0)
            biff8Child = i;
        else if (biff5Child < 0 && name.compare(QStringLiteral("Book"), Qt::CaseInsensitive) == 0)
            biff5Child = i;
        else if (name == QStringLiteral("EncryptedPackage") || name == QStringLiteral("EncryptionInfo"))
            encryptedPackage = true;
    }
    const int child = biff8Child >= 0 ? biff8Child : biff5Child;
    if (child < 0)
        return Failure{encryptedPackage
                           ? QStringLiteral("パスワードで保護されたブックは読めません")
                           : QStringLiteral("Excel のブックではありません（OLE2 ファイルにブックのデータがありません）")};
    GObjectPtr<GsfInput> workbook(gsf_infile_child_by_index(storage.get(), child));
    if (!workbook)
        return corruptFile(QStringLiteral("ブックのストリームを開けません"));
    const gsf_off_t size = gsf_input_size(workbook.get());
    // Sectors come from the file, so a stream larger than the file means a broken sector chain.
    if (size < 0 || size > file.size())
        return corruptFile(QStringLiteral("ブックのストリームの長さが不正です"));
    // Without a buffer of ours libgsf hands out the bytes in the file when the sectors are one run,
    // else a copy it keeps with the stream's input.
    const guint8 *bytes = size > 0 ? gsf_input_read(workbook.get(), size_t(size), nullptr) : nullptr;
    if (size > 0 && !bytes)
        return corruptFile(QStringLiteral("ブックのストリームを読めません"));
    WorkbookStream stream;
    stream.m_file = std::move(file);
    stream.m_reader = std::shared_ptr<void>(workbook.release(), g_object_unref);
    stream.m_bytes = std::span<const uchar>(bytes, std::size_t(size));
    return stream;
}

} // namespace tessaly::workbook
