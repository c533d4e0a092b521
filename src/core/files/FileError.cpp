#include "core/files/FileError.h"

#include <cerrno>

namespace tessaly {

namespace {

struct SystemError {
    int code;
    const char16_t *japanese;
};

// The causes a user meets when opening and saving files.
constexpr SystemError kSystemErrors[] = {
    {EACCES, u"アクセスが拒否されました"},
    {EPERM, u"この操作は許可されていません"},
    {ENOENT, u"ファイルまたはフォルダーがありません"},
    {ENOTDIR, u"パスの途中にフォルダーでないものがあります"},
    {EISDIR, u"ファイルではなくフォルダーです"},
    {ENOSPC, u"ディスクに空きがありません"},
#ifdef EDQUOT
    {EDQUOT, u"ディスクの使用量の上限を超えました"},
#endif
    {EROFS, u"読み取り専用のファイルシステムです"},
    {ENAMETOOLONG, u"ファイル名が長すぎます"},
    {EMFILE, u"開いているファイルが多すぎます"},
    {EIO, u"入出力エラーが発生しました"},
};

struct QtText {
    const char *english;
    const char16_t *japanese;
};

// Texts Qt writes itself; in the window they may already arrive translated.
constexpr QtText kQtTexts[] = {
    {"Filename refers to a directory", u"ファイル名がフォルダーを指しています"},
    {"file to open is a directory", u"開こうとしたのはフォルダーです"},
};

} // namespace

QString describeFileError(const QIODevice &device)
{
    const QString text = device.errorString();
    for (const SystemError &error : kSystemErrors) {
        if (text == qt_error_string(error.code))
            return QString::fromUtf16(error.japanese);
    }
    for (const QtText &qtText : kQtTexts) {
        if (text == QLatin1StringView(qtText.english))
            return QString::fromUtf16(qtText.japanese);
    }
    return text;
}

} // namespace tessaly
