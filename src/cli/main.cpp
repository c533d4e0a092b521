// tessaly-cli: the desktop program's operations for scripts and batch work, without a window.
#include "core/settings/Settings.h"
#include "core/config/ConfigFile.h"
#include "core/document/XmlDocument.h"
#include "core/workbook/Workbook.h"
#include "core/send/InsertRequest.h"
#include "core/send/Transfer.h"
#include "core/send/TransferStatus.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#endif

using namespace tessaly;

namespace {

const char kUsage[] = R"(使い方:
  tessaly-cli sheets WORKBOOK
      ブックのワークシート名を 1 行に 1 つずつ表示します (UTF-8)。
  tessaly-cli convert WORKBOOK [SHEET] [-o FILE]
      ワークシート (省略時は最初のシート) を XML 文書に変換し、デスクトップ版の保存と同じ
      バイト列を標準出力または FILE に書き出します。
  tessaly-cli send WORKBOOK [SHEET]
      convert と同じく変換し、デスクトップ版の送信ボタンと同じ要求をサーブレットに送ります。
      サーバの応答またはエラー行を表示し、サーバが成功を返したときだけ 0 で終わります。
  tessaly-cli --help
      この説明を表示します。

設定は作業ディレクトリの XMLConfig.xml から読みます。失敗すると理由を標準エラーに書き、
0 以外の終了コードで終わります。
)";

int fail(const QString &message)
{
    std::fputs(message.toUtf8().append('\n').constData(), stderr);
    return 1;
}

// Standard output as a device, in binary mode: the document's line ends are bytes of the file.
bool openStdout(QFile &out)
{
#ifdef Q_OS_WIN
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    return out.open(stdout, QIODevice::WriteOnly);
}

bool writeStdout(const QByteArray &bytes)
{
    QFile out;
    return openStdout(out) && out.write(bytes) == bytes.size() && out.flush();
}

Settings loadSettings()
{
    ConfigDocument config;
    config.load(kConfigFileName);
    Settings settings;
    config.readInto(settings);
    return settings;
}

Result<std::unique_ptr<workbook::Workbook>> openWorkbook(const QString &path)
{
    Result<std::unique_ptr<workbook::Workbook>> workbook = workbook::Workbook::open(path);
    if (workbook && (*workbook)->sheetNames().isEmpty())
        return Failure{QStringLiteral("利用できるシートがありません")};
    return workbook;
}

int listSheets(const QStringList &args)
{
    if (args.size() != 1)
        return fail(QStringLiteral("ブックのファイル名を 1 つ指定して下さい。--help で使い方を表示します。"));
    const Result<std::unique_ptr<workbook::Workbook>> workbook = workbook::Workbook::open(args.first());
    if (!workbook)
        return fail(workbook.failure().message);
    const QString names = (*workbook)->sheetNames().join(u'\n');
    return writeStdout((names.isEmpty() ? names : names + u'\n').toUtf8())
               ? 0
               : fail(QStringLiteral("標準出力に書き込めませんでした。"));
}

// The worksheet that the arguments WORKBOOK [SHEET] name (the first one when no sheet is named).
struct NamedSheet {
    std::unique_ptr<workbook::Workbook> workbook;
    qsizetype index = 0;
};

Result<NamedSheet> namedSheet(const QStringList &args)
{
    if (args.isEmpty() || args.size() > 2)
        return Failure{QStringLiteral("ブックのファイル名と、必要ならシート名を指定して下さい。--help で使い方を表示します。")};
    const QString sheetName = args.value(1);
    Result<std::unique_ptr<workbook::Workbook>> workbook = openWorkbook(args.at(0));
    if (!workbook)
        return workbook.failure();
    const qsizetype index = sheetName.isNull() ? 0 : (*workbook)->sheetNames().indexOf(sheetName);
    if (index < 0)
        return Failure{QStringLiteral("ワークシート「%1」はこのブックにありません。").arg(sheetName)};
    return NamedSheet{std::move(*workbook), index};
}

// That worksheet read as a table; the workbook itself is released once the sheet is read.
Result<workbook::SheetTable> sheetTable(const QStringList &args)
{
    const Result<NamedSheet> sheet = namedSheet(args);
    if (!sheet)
        return sheet.failure();
    Result<workbook::SheetTable> table = sheet->workbook->readSheet(sheet->index);
    if (!table)
        return table;
    if (const Outcome fits = checkDocumentLength(*table); !fits)
        return fits.failure();
    return table;
}

// Writes the bytes a save would write, piece by piece while the sheet is read, so that a large
// sheet's document and table are never held whole.
int convert(QStringList args)
{
    QString outputPath;
    if (const qsizetype option = args.indexOf(QStringLiteral("-o")); option >= 0) {
        if (option + 1 >= args.size())
            return fail(QStringLiteral("-o の後に出力ファイル名を指定して下さい。"));
        outputPath = args.takeAt(option + 1);
        args.removeAt(option);
    }

    const Result<NamedSheet> sheet = namedSheet(args);
    if (!sheet)
        return fail(sheet.failure().message);
    Result<std::unique_ptr<workbook::SheetBands>> bands = readSheetForDocument(*sheet->workbook, sheet->index);
    if (!bands)
        return fail(bands.failure().message);
    const Settings settings = loadSettings();
    if (!outputPath.isEmpty()) {
        const Outcome saved = saveDocument(outputPath, **bands, settings);
        return saved ? 0 : fail(saved.failure().message);
    }
    const QString notWritten = QStringLiteral("標準出力に書き込めませんでした。");
    QFile out;
    if (!openStdout(out))
        return fail(notWritten);
    if (const Outcome written = writeDocumentFile(out, **bands, settings); !written)
        return fail(written.failure().message);
    return out.flush() ? 0 : fail(notWritten);
}

// Sends like the send button and prints what the status line would end with: the server's
// answer, the error line, or the refusal.
int send(const QStringList &args)
{
    const Settings settings = loadSettings();
    const Result<workbook::SheetTable> table = sheetTable(args);
    if (!table)
        return fail(table.failure().message);

    Transfer transfer;
    QString line;
    bool succeeded = false;
    if (const Outcome started = sendInsert(transfer, buildInsertRequest(settings, *table, newRequestId())); !started) {
        line = started.failure().message;
    } else {
        QObject::connect(&transfer, &Transfer::finished, [&](const TransferResult &result) {
            line = statusLine(result);
            succeeded = result.ok && result.httpStatus < 400;
            QCoreApplication::exit();
        });
        QCoreApplication::exec();
    }
    if (!writeStdout((line + u'\n').toUtf8()))
        return fail(QStringLiteral("標準出力に書き込めませんでした。"));
    return succeeded ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    const QString command = args.isEmpty() ? QString() : args.takeFirst();
    if (command == u"--help" || command == u"-h")
        return writeStdout(QByteArray(kUsage)) ? 0 : 1;
    if (command == u"sheets")
        return listSheets(args);
    if (command == u"convert")
        return convert(args);
    if (command == u"send")
        return send(args);
    std::fputs(kUsage, stderr);
    return 2;
}
