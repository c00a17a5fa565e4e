#include "app/SettingsWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCursor>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include "app/FolderField.h"
#include "hotkey/HotKeyRecorder.h"
#include "settings/AppSettings.h"
#include "settings/SystemLog.h"

namespace {

const QString kDefaultHint = QStringLiteral("입력란을 클릭하고 원하는 키 조합을 누르세요.");
const QString kRefusedHint = QStringLiteral("F1~F20 외의 키는 Ctrl, Super, Alt 와 함께 누르세요.");
const QColor kRefusedColor(215, 38, 38);

constexpr int kButtonMinWidth = 80;
constexpr int kFolderFieldWidth = 220;

QFont systemFont(int pixelSize, bool bold = false)
{
    QFont font = QApplication::font();
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

QColor secondaryLabelColor(const QWidget *widget)
{
    return widget->palette().color(QPalette::PlaceholderText);
}

QPushButton *button(const QString &text)
{
    auto *b = new QPushButton(text);
    // Return and Escape are the dialog's own keys; a focused button must not take Return.
    b->setAutoDefault(false);
    return b;
}

// Controls side by side, 8 points apart; with pushRight they sit at the right edge.
QWidget *horizontalRow(std::initializer_list<QWidget *> controls, bool pushRight = false)
{
    auto *row = new QWidget;
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    if (pushRight)
        layout->addStretch(1);
    for (QWidget *control : controls)
        layout->addWidget(control);
    return row;
}

} // namespace

SettingsWindow::SettingsWindow(AppSettings &settings, LaunchAtLogin loginItem, QWidget *parent)
    : QDialog(parent), m_settings(settings), m_loginItem(std::move(loginItem)),
      m_folder(settings.effectiveSaveFolder())
{
    setWindowTitle(QStringLiteral("corvane 설정"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setWindowModality(Qt::ApplicationModal);
    setFont(systemFont(13));
    build();
}

SettingsWindow::~SettingsWindow() = default;

void SettingsWindow::build()
{
    m_recorder = new HotKeyRecorder(m_settings.hotKey());
    QPointer<SettingsWindow> self(this);
    m_recorder->onInvalid = [self] {
        if (self)
            self->showHint(kRefusedHint, kRefusedColor);
    };
    m_recorder->onChange = [self] {
        if (self)
            self->showHint(kDefaultHint, secondaryLabelColor(self));
    };
    auto *reset = button(QStringLiteral("기본값"));
    connect(reset, &QPushButton::clicked, this, &SettingsWindow::resetHotKey);

    m_hint = new QLabel;
    m_hint->setFont(systemFont(11));
    showHint(kDefaultHint, secondaryLabelColor(this));

    m_folderField = new FolderField;
    m_folderField->setFixedWidth(kFolderFieldWidth);
    m_folderField->setPath(m_folder);
    auto *browse = button(QStringLiteral("변경..."));
    connect(browse, &QPushButton::clicked, this, &SettingsWindow::browseFolder);

    m_askRadio = new QRadioButton(QStringLiteral("저장할 때마다 위치와 이름 확인"));
    m_directRadio = new QRadioButton(QStringLiteral("저장 폴더에 바로 저장"));
    for (QRadioButton *radio : {m_askRadio, m_directRadio})
        connect(radio, &QRadioButton::clicked, this, [this, radio] { saveModeChanged(radio); });
    const bool direct = m_settings.saveWithoutDialog();
    m_askRadio->setChecked(!direct);
    m_directRadio->setChecked(direct);

    m_autoStart = new QCheckBox(QStringLiteral("로그인 시 자동 실행"));
    m_autoStart->setChecked(m_loginItem.isEnabled());

    auto *separator = new QFrame;
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Plain);
    separator->setForegroundRole(QPalette::Mid);

    auto *cancelButton = button(QStringLiteral("취소"));
    auto *confirmButton = button(QStringLiteral("확인"));
    confirmButton->setDefault(true);
    for (QPushButton *b : {cancelButton, confirmButton})
        b->setMinimumWidth(kButtonMinWidth);
    connect(cancelButton, &QPushButton::clicked, this, &SettingsWindow::cancel);
    connect(confirmButton, &QPushButton::clicked, this, &SettingsWindow::confirm);
    // Window-wide shortcuts take these keys before the focused control, the recorder included.
    for (const auto key : {Qt::Key_Return, Qt::Key_Enter})
        connect(new QShortcut(key, this), &QShortcut::activated, this, &SettingsWindow::confirm);
    connect(new QShortcut(Qt::Key_Escape, this), &QShortcut::activated, this,
            &SettingsWindow::cancel);

    auto sectionLabel = [](const QString &text) {
        auto *label = new QLabel(text);
        label->setFont(systemFont(13, true));
        return label;
    };
    auto *stack = new QVBoxLayout(this);
    stack->setSizeConstraint(QLayout::SetFixedSize);
    stack->setContentsMargins(20, 18, 20, 16);
    stack->setSpacing(0);
    auto addRow = [stack](QWidget *row, int spaceAfter, bool spansWidth = false) {
        stack->addWidget(row, 0, spansWidth ? Qt::Alignment() : Qt::AlignLeft);
        stack->addSpacing(spaceAfter);
    };
    addRow(sectionLabel(QStringLiteral("단축키")), 8);
    addRow(horizontalRow({m_recorder, reset}), 4);
    addRow(m_hint, 20);
    addRow(sectionLabel(QStringLiteral("저장")), 8);
    addRow(horizontalRow({m_folderField, browse}), 8);
    addRow(m_askRadio, 8);
    addRow(m_directRadio, 20);
    addRow(sectionLabel(QStringLiteral("시작")), 8);
    addRow(m_autoStart, 16);
    addRow(separator, 12, true);
    stack->addWidget(horizontalRow({cancelButton, confirmButton}, true));
}

void SettingsWindow::showHint(const QString &text, const QColor &color)
{
    m_hint->setText(text);
    QPalette palette = m_hint->palette();
    palette.setColor(QPalette::WindowText, color);
    m_hint->setPalette(palette);
}

bool SettingsWindow::run()
{
    QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    adjustSize();
    if (screen) {
        QRect frame(QPoint(), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    // No control has the focus at first: the user clicks the recorder to record.
    setFocus(Qt::OtherFocusReason);
    QTimer::singleShot(0, this, [this] {
        raise();
        activateWindow();
    });
    const bool confirmed = exec() == QDialog::Accepted;
    if (!confirmed)
        return false;
    QString why = writeSettings(), more;
    // In force until the application ends, and gone at its next start: the user is told.
    if (!m_settings.isStored()) {
        why = QStringLiteral("설정을 저장하지 못했습니다: ") + m_settings.storePath();
        more = QStringLiteral("바뀐 설정은 corvane 을 끝낼 때까지만 쓰입니다. 이 파일에 쓸 수 "
                              "있게 한 뒤 다시 설정하세요.");
        systemLog(why);
    }
    if (!why.isEmpty()) {
        QMessageBox alert(QMessageBox::Warning, QStringLiteral("corvane"), why);
        alert.setInformativeText(more);
        alert.setWindowFlag(Qt::WindowStaysOnTopHint);
        alert.exec();
    }
    return true;
}

QString SettingsWindow::writeSettings()
{
    m_settings.setHotKey(m_recorder->combo());
    // A chosen folder that is away for now (a drive not mounted) stays chosen unless another
    // was picked: the field shows where captures go meanwhile.
    const std::optional<QString> chosen = m_settings.saveFolder();
    if (m_folderPicked || !chosen || chosen->isEmpty())
        m_settings.setSaveFolder(m_folder);
    m_settings.setSaveWithoutDialog(m_directRadio->isChecked());
    const bool wanted = m_autoStart->isChecked();
    if (wanted == m_loginItem.isEnabled())
        return {};
    QString error;
    const bool changed =
        wanted ? m_loginItem.registerLoginItem(&error) : m_loginItem.unregisterLoginItem(&error);
    if (changed)
        return {};
    const QString why = QStringLiteral("자동 실행 설정 실패: ") + error;
    systemLog(why);
    return why;
}

void SettingsWindow::resetHotKey()
{
    m_recorder->setCombo(HotKeyCombo::standard);
    if (m_recorder->onChange)
        m_recorder->onChange();
}

void SettingsWindow::browseFolder()
{
    QFileDialog panel(this, QStringLiteral("캡처 저장 폴더"), m_folder);
    panel.setFileMode(QFileDialog::Directory);
    panel.setOption(QFileDialog::ShowDirsOnly);
    panel.setLabelText(QFileDialog::Accept, QStringLiteral("선택"));
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty())
        return;
    m_folder = panel.selectedFiles().first();
    m_folderPicked = true;
    m_folderField->setPath(m_folder);
}

void SettingsWindow::saveModeChanged(QRadioButton *sender)
{
    m_askRadio->setChecked(sender == m_askRadio);
    m_directRadio->setChecked(sender == m_directRadio);
}

void SettingsWindow::confirm()
{
    done(QDialog::Accepted);
}

void SettingsWindow::cancel()
{
    done(QDialog::Rejected);
}
