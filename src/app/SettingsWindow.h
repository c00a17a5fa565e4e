#pragma once

#include <QDialog>
#include <QString>

#include "app/LaunchAtLogin.h"

class AppSettings;
class FolderField;
class HotKeyRecorder;
class QCheckBox;
class QLabel;
class QRadioButton;

// The settings dialog: the capture hotkey, where and how captures are saved, and launch at
// login. Made afresh for each opening; it writes the settings only when the user confirms.
class SettingsWindow : public QDialog
{
    Q_OBJECT
public:
    explicit SettingsWindow(AppSettings &settings,
                            LaunchAtLogin loginItem = LaunchAtLogin::mainApp(),
                            QWidget *parent = nullptr);
    ~SettingsWindow() override;

    // Runs the dialog application-modally. True when the user confirmed; the settings were
    // then written. Cancelling, Escape and the close button write nothing.
    bool run();

    void resetHotKey();
    void browseFolder();
    void saveModeChanged(QRadioButton *sender);
    void confirm();
    void cancel();

    HotKeyRecorder *recorder() const { return m_recorder; }

private:
    void build();
    void showHint(const QString &text, const QColor &color);
    // Why the login item could not be changed, if it could not.
    QString writeSettings();

    AppSettings &m_settings;
    LaunchAtLogin m_loginItem;
    HotKeyRecorder *m_recorder = nullptr;
    QLabel *m_hint = nullptr;
    FolderField *m_folderField = nullptr;
    QRadioButton *m_askRadio = nullptr;
    QRadioButton *m_directRadio = nullptr;
    QCheckBox *m_autoStart = nullptr;
    QString m_folder;
    // Whether a folder was picked, even the one shown at opening in place of an away one.
    bool m_folderPicked = false;
};
