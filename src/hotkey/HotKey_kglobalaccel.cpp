#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QKeyCombination>
#include <QSettings>
#include <QStandardPaths>
#include <QtGui/private/qxkbcommon_p.h>

#include <memory>
#include <optional>

#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include "hotkey/HotKeyRegistrations.h"
#include "hotkey/KeyCodeMap.h"
#include "settings/SystemLog.h"

namespace {

const QString kService = QStringLiteral("org.kde.kglobalaccel");
const QString kComponentInterface = QStringLiteral("org.kde.kglobalaccel.Component");
const QString kComponent = QStringLiteral("corvane");
const QString kAction = QStringLiteral("capture");
// The service's flags: the action is there to be pressed, and the keys given replace what
// its configuration stored for the action.
constexpr uint kSetPresent = 2;
constexpr uint kNoAutoloading = 4;
constexpr int kCallTimeoutMs = 3000;

// A key sequence as the service passes it: up to four chords, unused ones 0.
struct KeySequence
{
    QList<int> chords;
};

QDBusArgument &operator<<(QDBusArgument &argument, const KeySequence &sequence)
{
    argument.beginStructure();
    argument << sequence.chords;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, KeySequence &sequence)
{
    argument.beginStructure();
    argument >> sequence.chords;
    argument.endStructure();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(KeySequence)

namespace {

QDBusMessage call(const QString &path, const QString &interface, const QString &method,
                  const QVariantList &args, const QString &service = kService)
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(args);
    // Only a service that runs now binds for the desktop; one the bus would start might not.
    message.setAutoStartService(false);
    return QDBusConnection::sessionBus().call(message, QDBus::Block, kCallTimeoutMs);
}

// A keyboard layout by its names in the keymap rules ("us", "kr"; a variant or none).
struct Layout
{
    QByteArray name;
    QByteArray variant;
};

// The layout KWin types with: the one in use of those set in KDE's keyboard settings, which
// KWin reads itself (it tells which is in use only while there are several, asked or as it
// switches); empty where they set none, and the keymap then comes from the system's defaults,
// as KWin's does.
Layout activeLayout(std::optional<uint> inUse = std::nullopt)
{
    QSettings settings(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                           QStringLiteral("/kxkbrc"),
                       QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Layout"));
    if (!settings.value(QStringLiteral("Use")).toBool())
        return {};
    if (!inUse)
        inUse = call(QStringLiteral("/Layouts"), QStringLiteral("org.kde.KeyboardLayouts"),
                     QStringLiteral("getLayout"), {}, QStringLiteral("org.kde.keyboard"))
                    .arguments()
                    .value(0)
                    .toUInt();
    const auto named = [&](const QString &key) {
        return settings.value(key).toStringList().value(*inUse).toUtf8();
    };
    return {named(QStringLiteral("LayoutList")), named(QStringLiteral("VariantList"))};
}

// Qt's key for a keysym, as KWin names a pressed key by it; 0 for one no shortcut is made of.
int qtKey(xkb_keysym_t sym)
{
    const int key = QXkbCommon::keysymToQtKey(sym, Qt::NoModifier);
    return key == Qt::Key_unknown ? 0 : key;
}

std::optional<QKeyCombination> kwinShortcutName(const HotKeyCombo &combo, const Layout &layout)
{
    const std::optional<uint8_t> keycode = KeyCodeMap::toNative(combo.keyCode);
    if (!keycode)
        return std::nullopt;
    const std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context(
        xkb_context_new(XKB_CONTEXT_NO_FLAGS), &xkb_context_unref);
    const xkb_rule_names names{
        nullptr, nullptr, layout.name.isEmpty() ? nullptr : layout.name.constData(),
        layout.variant.isEmpty() ? nullptr : layout.variant.constData(), nullptr};
    const std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> keymap(
        context ? xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS)
                : nullptr,
        &xkb_keymap_unref);
    if (!keymap)
        return std::nullopt;
    const std::unique_ptr<xkb_state, decltype(&xkb_state_unref)> state(xkb_state_new(keymap.get()),
                                                                       &xkb_state_unref);
    // With Num Lock off a keypad key would name its other meaning (End for 1, Insert for 0),
    // and bind that key instead. KWin 5.27 names the keypad's digits and signs as the main
    // row's, which then captures too.
    const xkb_mod_index_t numLock = xkb_keymap_mod_get_index(keymap.get(), XKB_MOD_NAME_NUM);
    xkb_state_update_mask(state.get(), 0, 0, 1u << numLock, 0, 0, 0);
    const int key = qtKey(xkb_state_key_get_one_sym(state.get(), *keycode));
    if (!key)
        return std::nullopt;
    // KWin matches a key whose layout types no Latin letter (Cyrillic, Greek) by the symbol a
    // US keyboard has there; under the layout's own name it would never fire.
    if (key >= 0x100 && key < Qt::Key_Escape && layout.name != "us")
        return kwinShortcutName(combo, {"us", {}});
    Qt::KeyboardModifiers modifiers;
    if (combo.modifiers & HotKeyCombo::Command)
        modifiers |= Qt::ControlModifier;
    if (combo.modifiers & HotKeyCombo::Option)
        modifiers |= Qt::AltModifier;
    if (combo.modifiers & HotKeyCombo::Control)
        modifiers |= Qt::MetaModifier;
    if (!(combo.modifiers & HotKeyCombo::Shift))
        return QKeyCombination(modifiers, Qt::Key(key));
    // KWin 5.27 takes Shift as spent on a key that it turns into another symbol, and matches
    // the symbol: Shift+Ctrl+9 is "Ctrl+(" on a US layout. On a letter Shift stays.
    const xkb_mod_index_t shift = xkb_keymap_mod_get_index(keymap.get(), XKB_MOD_NAME_SHIFT);
    xkb_state_update_mask(state.get(), 1u << shift, 0, 1u << numLock, 0, 0, 0);
    const int shifted = qtKey(xkb_state_key_get_one_sym(state.get(), *keycode));
    if (shifted && shifted != key)
        return QKeyCombination(modifiers, Qt::Key(shifted));
    return QKeyCombination(modifiers | Qt::ShiftModifier, Qt::Key(key));
}

// KDE's global shortcut service: the action is registered under this application's
// component and given the combination as KWin names it for the active layout. The service
// answers at once; it leaves out a key that another component holds.
class KGlobalAccelRegistration : public QObject, public HotKey::Registration
{
    Q_OBJECT
public:
    explicit KGlobalAccelRegistration(std::function<void()> onPressed)
        : m_onPressed(std::move(onPressed))
    {
        qDBusRegisterMetaType<KeySequence>();
        qDBusRegisterMetaType<QList<KeySequence>>();
        // A restarted service keeps the keys but no longer listens for them: they are given
        // again, also to one that replaced the last in place.
        connect(&m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                [this](const QString &, const QString &, const QString &owner) {
                    if (!owner.isEmpty() && m_wanted && !bind(activeLayout()))
                        systemLog(QStringLiteral(
                            "전역 단축키 서비스가 다시 시작된 뒤 단축키를 되살리지 못했습니다"));
                });
        // The name KWin matches follows the layout in use: it is given anew on each switch, and
        // when the user sets other layouts (KWin then tells only that the list changed).
        const auto hear = [this](const char *signal, const char *slot) {
            QDBusConnection::sessionBus().connect(
                QStringLiteral("org.kde.keyboard"), QStringLiteral("/Layouts"),
                QStringLiteral("org.kde.KeyboardLayouts"), QString::fromLatin1(signal), this, slot);
        };
        hear("layoutChanged", SLOT(layoutChanged(uint)));
        hear("layoutListChanged", SLOT(layoutListChanged()));
    }
    ~KGlobalAccelRegistration() override { unregister(); }

    bool registerHotKey(const HotKeyCombo &combo) override
    {
        m_combo = combo;
        m_wanted = true;
        return bind(activeLayout());
    }

    void unregister() override
    {
        m_wanted = false;
        release();
    }

    bool isRegistered() const override { return m_registered; }

public slots:
    void layoutChanged(uint index) { rebind(activeLayout(index)); }
    void layoutListChanged() { rebind(activeLayout()); }

    void pressed(const QString &component, const QString &action, qlonglong)
    {
        if (component == kComponent && action == kAction && m_onPressed)
            m_onPressed();
    }

private:
    void rebind(const Layout &layout)
    {
        // Most switches name the key alike (a letter between Latin layouts): nothing to give.
        if (!m_wanted || (m_registered && kwinShortcutName(m_combo, layout) == m_name))
            return;
        if (!bind(layout))
            systemLog(QStringLiteral("키보드 배열이 바뀐 뒤 단축키를 다시 등록하지 못했습니다"));
    }

    bool bind(const Layout &layout)
    {
        release();
        const std::optional<QKeyCombination> name = kwinShortcutName(m_combo, layout);
        if (!name)
            return false;
        const QVariantList actionId{actionIdentity()};
        if (service(QStringLiteral("doRegister"), actionId).type() != QDBusMessage::ReplyMessage)
            return false;
        m_name = name;
        const KeySequence wanted{{name->toCombined(), 0, 0, 0}};
        const QDBusMessage set =
            service(QStringLiteral("setShortcutKeys"),
                    actionId + QVariantList{QVariant::fromValue(QList<KeySequence>{wanted}),
                                            kSetPresent | kNoAutoloading});
        const auto keys =
            qdbus_cast<QList<KeySequence>>(set.arguments().value(0).value<QDBusArgument>());
        if (set.type() != QDBusMessage::ReplyMessage || keys.isEmpty() ||
            keys.first().chords != wanted.chords) {
            if (set.type() != QDBusMessage::ReplyMessage)
                systemLog(QStringLiteral("전역 단축키 서비스가 거부했습니다: ") +
                          set.errorMessage());
            return false;
        }
        const QDBusMessage component = service(QStringLiteral("getComponent"), {kComponent});
        m_component = component.arguments().value(0).value<QDBusObjectPath>().path();
        m_registered = QDBusConnection::sessionBus().connect(
            kService, m_component, kComponentInterface, QStringLiteral("globalShortcutPressed"),
            this, SLOT(pressed(QString, QString, qlonglong)));
        return m_registered;
    }

    void release()
    {
        if (!m_registered)
            return;
        m_registered = false;
        QDBusConnection::sessionBus().disconnect(kService, m_component, kComponentInterface,
                                                 QStringLiteral("globalShortcutPressed"), this,
                                                 SLOT(pressed(QString, QString, qlonglong)));
        // The service stops listening for the keys and keeps them for this action.
        service(QStringLiteral("setInactive"), {actionIdentity()});
    }

    // The component and action, then the names the desktop's settings show for them.
    static QStringList actionIdentity()
    {
        return {kComponent, kAction, kComponent, QStringLiteral("캡처")};
    }

    static QDBusMessage service(const QString &method, const QVariantList &args)
    {
        return call(QStringLiteral("/kglobalaccel"), QStringLiteral("org.kde.KGlobalAccel"), method,
                    args);
    }

    std::function<void()> m_onPressed;
    QDBusServiceWatcher m_watcher{kService, QDBusConnection::sessionBus(),
                                  QDBusServiceWatcher::WatchForOwnerChange};
    HotKeyCombo m_combo = HotKeyCombo::standard;
    QString m_component;
    bool m_registered = false;
    // The name last given to the service.
    std::optional<QKeyCombination> m_name;
    // Asked for and not released: bound again after a restart of the service or a layout switch.
    bool m_wanted = false;
};

} // namespace

std::unique_ptr<HotKey::Registration> makeKGlobalAccelRegistration(std::function<void()> onPressed)
{
    return std::make_unique<KGlobalAccelRegistration>(std::move(onPressed));
}

#include "HotKey_kglobalaccel.moc"
