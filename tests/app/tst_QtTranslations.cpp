#include <QtTest>

#include "app/QtTranslations.h"

class TestQtTranslations : public QObject
{
    Q_OBJECT

private slots:
    void koreanDesktop()
    {
        QVERIFY(installQtTranslations(*QCoreApplication::instance(), QLocale(QLocale::Korean)));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("취소"));
        QCOMPARE(QCoreApplication::translate("QFileDialog", "Save As"),
                 QStringLiteral("다른 이름으로 저장"));
    }
};

QTEST_GUILESS_MAIN(TestQtTranslations)
#include "tst_QtTranslations.moc"
