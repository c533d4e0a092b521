#pragma once

#include "gui/ModalDialogs.h"
#include "core/settings/Settings.h"
#include "core/config/ConfigFile.h"
#include "core/workbook/Workbook.h"
#include "core/send/Transfer.h"

#include <QMainWindow>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace Ui {
class MainWindow;
}

namespace tessaly {

class SettingsDialog;

// The program's one window: it owns the settings, the configuration document, the open workbook,
// the document text and the status line, and routes every event to the procedure that handles it.
// Reading, converting, saving and composing a send run on a thread of their own while the window
// goes on painting; the window's size and the workbooks opened last are kept per user.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(Prompter &prompter, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Start-up, run once, with the window shown so that the reading of a large workbook shows its
    // progress. A workbook named here is opened instead of asking for one; when it cannot be, the
    // error is shown and the file dialog follows.
    void start(const QString &workbookPath = {});

    // The settings record: the table name is the visible field, the others are held as plain data.
    const Settings &settings() const { return m_settings; }
    void setSettings(const Settings &settings);
    bool settingsChanged() const { return m_settingsChanged; }
    void setSettingsChanged(bool flag) { m_settingsChanged = flag; }

    QString statusText() const;
    void setStatusText(const QString &text);

    Prompter &prompter() { return m_prompter; }

    // How long work runs before the wait cursor and the progress bar show: half a second, so that
    // short work flashes nothing.
    void setProgressDelay(std::chrono::milliseconds delay) { m_progressDelay.setInterval(delay); }

    // The one place where a failure is shown: a warning box titled "エラーメッセージ".
    void reportError(const QString &description);

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // What the progress bar counts.
    enum class ProgressUnit { Rows, Bytes };

    // Runs an event handler; an exception escaping it is reported and the window stays usable.
    void runHandler(const std::function<void()> &handler);
    void route(auto *sender, auto signal, void (MainWindow::*handler)());
    // Runs `work` on a thread of its own and returns when it has ended, the window painting and
    // answering meanwhile; an exception escaping `work` is thrown here.
    void runInBackground(const std::function<void()> &work);
    void setBusy(bool busy);
    void beginProgress(ProgressUnit unit);
    void showProgress();
    void refreshProgress();
    void endProgress();

    void restoreUserState();
    void saveUserState();
    void rememberWorkbook(const QString &path);
    void updateRecentMenu();

    void loadSettings();
    Outcome saveSettings();

    void onOpenClicked();
    void openWorkbook();
    bool openWorkbookFile(const QString &path);
    void openDroppedWorkbook(const QString &path);
    void saveDocumentAs();
    void onSendClicked();
    void showStatusDetails();
    void onTransferFinished(const TransferResult &result);
    void editNetworkSettings();
    void editXmlSettings();
    void editSettings(SettingsDialog &dialog);
    void saveSettingsNow();
    void showAbout();
    void showSelectedSheet();
    void onTableNameEdited();
    void restoreBlankTableName();
    void restoreBlankTableNameIfEditing();
    bool confirmClose();

    std::unique_ptr<Ui::MainWindow> m_ui;
    Prompter &m_prompter;
    Settings m_settings;
    ConfigDocument m_configDocument;
    bool m_settingsChanged = false;
    bool m_startupComplete = false;
    std::unique_ptr<workbook::Workbook> m_workbook;
    QString m_dialogFileName; // the file dialog's name, shared by opening and saving
    Transfer m_transfer; // sends the insert request
    QString m_requestId; // the shown document's, kept for each send of it
    QStringList m_recentWorkbooks; // newest first

    bool m_busy = false;
    bool m_closeRequested = false; // while busy: close once the work has ended
    bool m_closeWithoutAsking = false; // the settings could not be saved on the last close
    // Set by the work on its thread, shown by the window's thread.
    std::atomic<qint64> m_progressDone = 0;
    std::atomic<qint64> m_progressTotal = 0; // 0: not known yet
    std::optional<ProgressUnit> m_progressUnit; // while the bar is due or shown; Rows has the wait cursor
    int m_handlerDepth = 0;
    QPointer<QWidget> m_focusBeforeWork;
    QTimer m_progressDelay;
    QTimer m_progressRefresh;
};

} // namespace tessaly
