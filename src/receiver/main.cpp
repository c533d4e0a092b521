// tessaly-receiver: the receiving end of the desktop program's send button. Takes its insert
// requests over HTTP and puts the rows into a database table.
#include "receiver/ReceiverServer.h"

#include <QCoreApplication>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#ifdef __GLIBC__
#include <malloc.h>
#endif

using namespace tessaly;
using namespace tessaly::receiver;

namespace {

const char kUsage[] = R"(使い方: tessaly-receiver [オプション]

Tessaly の送信ボタン（tessaly-cli send）が送る挿入要求を HTTP で受け取り、XML 文書の行を
データベースの表に 1 つのトランザクションで挿入します（全部の行か、1 行も入れないか）。

  --listen ADDRESS:PORT   待ち受けるアドレスとポート。既定は localhost:8080 で、127.0.0.1 と
                          ::1 の両方で待ち受けます（localhost がどちらに解決されても届きます）。
                          [::1]:8080、0.0.0.0:8080 のようにも書けます。ポート 0 は空きポートです。
  --path PATH             受け付けるパス。既定は /servlets/Insert。
  --database URL          挿入先のデータベース。既定は sqlite:tessaly.sqlite（作業ディレクトリの
                          SQLite ファイル。なければ作ります）。ほかに
                            postgresql://ユーザー@ホスト:ポート/データベース[?sslmode=require]
                            mysql://ユーザー@ホスト:ポート/データベース
                            odbc:DSN
                          パスワードは PGPASSWORD や ~/.pgpass などドライバ自身の仕組みで渡すことを
                          勧めます（URL にも書けますが、プロセスの一覧から見えます）。
  --create-tables         ない表を作ります。列は文書の列ごとに 1 つ、型は TEXT、文書の順です。
                          同じ見出しが複数あると 2 つ目から「名前_2」「名前_3」…の列になります。
                          指定しないと、ない表への挿入は 400 で断ります。
  --empty-as-text         空の要素を空の文字列 '' として挿入します。既定は NULL です。
  --user NAME             Basic 認証のユーザー名。--password-file と一緒に指定します。
  --password-file FILE    パスワードを 1 行目に書いたファイル。
                          ループバック以外で待ち受けるときは --tls-cert と --tls-key が必要です
                          （ないと起動しません）。パスワードを平文でネットワークに流さないためです。
  --tls-cert FILE         HTTPS の証明書（PEM）。--tls-key と一緒に指定します。
  --tls-key FILE          証明書の秘密鍵（PEM）。
  --max-body SIZE         本文の上限。既定は 1G。512K、64M のようにも書けます。超えると 413 で断り、
                          相手が応答を受け取れるように残りを読み捨ててから接続を閉じます。
  --body-budget SIZE      同時に受信中の本文の合計の上限。既定はこの機械のメモリの 4 分の 1。
                          超える要求は 503（Retry-After 付き）で断ります。
  --workers N             同時に扱う接続の数（アドレスごと）。既定は 128。
  --per-client N          そのうち 1 つの相手のアドレスから同時に扱う接続の数。既定は 32。
  --help                  この説明を表示します。

要求: POST、Content-Type: application/x-www-form-urlencoded（charset 付き。ないときは全項目を
xmlText の XML 宣言の encoding で、宣言がなければ UTF-8 で読みます）。項目は command=insert、tabName（表名。
schema.表名 も可）、xmlText（文書: ルート要素、行ごとに 1 要素、列ごとに 1 子要素。列は 16384 まで）、
requestId（任意。記録済みの ID の要求は何も挿入せず「この文書は既に挿入されています（N件、日時）。」と
答えます。表 tessaly_requests に記録します）。列の要素名は
_xHHHH_ を文字に戻して列名にし（FIRST_x0020_NAME → FIRST NAME）、表と列は名前の通りに、なければ
大文字小文字を区別せずに探します。値はすべてパラメータとして渡し、型の変換はデータベースに任せます。

応答（text/plain; charset=UTF-8、日本語 1 行）:
  200 「N件の行を挿入しました。」
  400 本文、XML、コマンド、表、列、値が使えないとき（何がどこで、を書きます）
  401 認証が必要なときに資格情報がないか違うとき（WWW-Authenticate: Basic を付けます）
  404 パスが違うとき、405 POST でないとき、411 Content-Length がないとき
  413 本文が --max-body を超えたとき
  415 Content-Encoding が付いているとき（圧縮した本文は受け付けません）
  431 ヘッダーが合わせて 64 KiB を超えたとき
  500 データベースが失敗したとき
  503 受信中の本文が --body-budget に達しているとき
どの失敗でも 1 行も挿入しません。要求ごとに標準エラーへ 1 行の記録（時刻、相手、表、行数、
ミリ秒、状態）を書きます。パスワードや文書の中身は書きません。ヘッダーは接続から 30 秒以内に
届かないと、送信中に 20 秒黙ると接続を切ります。Ctrl+C（SIGINT）か SIGTERM で新しい接続を
断り、処理中の要求を数秒待ってから取り消して終わります。
)";

std::atomic<bool> stopRequested = false;

void requestStop(int)
{
    stopRequested = true;
}

int fail(const QString &message)
{
    std::fputs((QStringLiteral("tessaly-receiver: ") + message + u'\n').toUtf8().constData(), stderr);
    return 1;
}

// The database for messages, without a password.
QString shownDatabase(const QString &database)
{
    return database.contains(u"://") ? QUrl(database).toDisplayString(QUrl::RemovePassword) : database;
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef __GLIBC__
    // Large buffers come straight from the system and go back to it. Left alone, glibc raises
    // this threshold after the first large request, and each worker's arena then keeps its peak.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
    QCoreApplication app(argc, argv);
    const Result<ReceiverOptions> options = parseOptions(QCoreApplication::arguments().mid(1));
    if (!options)
        return fail(options.failure().message);
    if (options->help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const Result<DatabaseTarget> database = DatabaseTarget::parse(options->database);
    if (!database)
        return fail(database.failure().message);
    // Found unreachable now rather than at the first request.
    if (const DatabaseResult<std::unique_ptr<TableStore>> store = TableStore::open(*database); !store)
        return fail(store.failure().text);

    ReceiverServer server(*options, InsertSettings{*database, options->createTables, options->emptyAsText});
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    if (const Outcome started = server.start(); !started)
        return fail(started.failure().message);
    for (const QString &url : server.urls())
        fail(QStringLiteral("%1 で待ち受けています（データベース %2）。").arg(url, shownDatabase(options->database)));
    while (!stopRequested)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!server.stop()) {
        // Ending the process ends their database connections, which rolls their transactions back.
        fail(QStringLiteral("終わらない要求を打ち切って終了します（その挿入は取り消されます）。"));
        std::fflush(stderr);
        std::_Exit(0);
    }
    return 0;
}
