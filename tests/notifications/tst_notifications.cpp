// Completion notices against a notification server on a private session bus,
// and the in-app banners on a real X server.
#include "app/notifications/CompletionBanners.h"
#include "app/notifications/DownloadNotifications.h"
#include "app/theme/Theme.h"
#include "tests/support/DesktopStandIns.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QScopeGuard>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

// A stand-in for the desktop's notification server.
class FakeNotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Notice {
        uint replaces;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
    };
    QList<Notice> notices;
    QList<uint> closed;
    QStringList capabilities{"body", "actions"};
    bool refuse = false;

public Q_SLOTS:
    uint Notify(const QString &, uint replaces, const QString &, const QString &summary, const QString &body,
                const QStringList &actions, const QVariantMap &hints, int, const QDBusMessage &message)
    {
        if (refuse) {
            message.setDelayedReply(true);
            QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), "server")
                .send(message.createErrorReply("org.freedesktop.DBus.Error.Failed", "Too many notifications"));
            return 0;
        }
        notices.append({replaces, summary, body, actions, hints});
        return replaces ? replaces : static_cast<uint>(notices.size()) + 100;
    }
    QStringList GetCapabilities() { return capabilities; }
    QString GetServerInformation(QString &vendor, QString &version, QString &specVersion)
    {
        vendor = "Lark tests";
        version = "1";
        specVersion = "1.2";
        return "fake";
    }
    void CloseNotification(uint id) { closed.append(id); }
};

class TestNotifications : public QObject {
    Q_OBJECT

private:
    PrivateSessionBus m_bus;
    QTemporaryDir m_dir;
    FakeNotificationServer m_server;
    FakeFileManager m_fileManager;
    QString m_address;

    QDBusConnection serverBus() { return QDBusConnection::connectToBus(m_address, "server"); }

    // Each completion gets its own notice at once unless a test asks for grouping.
    QString configure(DownloadNotifications &service, bool enabled, int groupWindowMs = 0)
    {
        service.setGroupWindow(groupWindowMs);
        QString status;
        service.configure(enabled, [&status](const QString &text) { status = text; });
        QElapsedTimer waited;
        waited.start();
        while (status.isEmpty() && waited.elapsed() < 5000)
            QTest::qWait(10);
        return status;
    }

    DownloadItem item(const QString &title, const QString &file = {})
    {
        DownloadItem item("https://example.com/v", title, m_dir.filePath("Movies/Clips"), "Best available", "None");
        item.state = DownloadState::completed;
        if (!file.isEmpty())
            item.file = file;
        return item;
    }

    QStringList opened() const { return openedByRecordingOpener(m_dir.path()); }

private Q_SLOTS:
    void initTestCase()
    {
        // The look of the real application, whose main does the same.
        Theme::applyToApplication();
        m_address = m_bus.start();
        QVERIFY(!m_address.isEmpty());
        QDBusConnection bus = serverBus();
        QVERIFY(bus.isConnected());
        QVERIFY(bus.registerObject("/org/freedesktop/Notifications", &m_server, QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService("org.freedesktop.Notifications"));
        QVERIFY(m_fileManager.publish(bus));
        QVERIFY(installRecordingOpener(m_dir.path()));
        CompletionBanners::shared().setLifetime(400);
        QGuiApplication::setDesktopFileName("lark-downloader");
    }

    void withoutADesktopIdentity()
    {
        QGuiApplication::setDesktopFileName(QString());
        DownloadNotifications service;
        QCOMPARE(configure(service, true), "Notifications are available in the installed app.");
        service.completed(item("nothing"));
        QTest::qWait(100);
        QCOMPARE(m_server.notices.size(), 0);
        QGuiApplication::setDesktopFileName("lark-downloader");
    }

    void notificationsThroughTheServer()
    {
        DownloadNotifications service;
        QCOMPARE(configure(service, true), "Download notifications are on.");
        QVERIFY(!service.usesBanners());
        QFile file(m_dir.filePath("clip.mp4"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        service.completed(item("Holiday clip", file.fileName()));
        QTRY_COMPARE(m_server.notices.size(), 1);
        const auto &notice = m_server.notices.first();
        QCOMPARE(notice.summary, "Download complete");
        QCOMPARE(notice.body, "Saved to Clips\nHoliday clip");
        QVERIFY(notice.actions.contains("default"));
        QCOMPARE(notice.hints.value("desktop-entry").toString(), "lark-downloader");
        QVERIFY(!notice.hints.contains("sound-name")); // the server plays no sounds: the app does
        QCOMPARE(notice.replaces, 0u);

        // A click on the notice shows the file.
        QDBusConnection bus = serverBus();
        QDBusMessage click = QDBusMessage::createSignal("/org/freedesktop/Notifications",
                                                        "org.freedesktop.Notifications", "ActionInvoked");
        click << 101u << QString("default");
        QVERIFY(bus.send(click));
        QTRY_COMPARE(m_fileManager.shown.size(), 1);
        QCOMPARE(m_fileManager.shown.first(), QStringList{"file://" + file.fileName()});
        // Another client's notice is none of our business.
        QDBusMessage foreign = QDBusMessage::createSignal("/org/freedesktop/Notifications",
                                                          "org.freedesktop.Notifications", "ActionInvoked");
        foreign << 999u << QString("default");
        bus.send(foreign);
        QTest::qWait(100);
        QCOMPARE(m_fileManager.shown.size(), 1);
    }

    void sameDownloadReplacesItsNotice()
    {
        DownloadNotifications service;
        configure(service, true);
        m_server.capabilities.append("sound");
        const DownloadItem done = item("Twice");
        const int before = static_cast<int>(m_server.notices.size());
        service.completed(done);
        QTRY_COMPARE(m_server.notices.size(), before + 1);
        QCOMPARE(m_server.notices.last().hints.value("sound-name").toString(), "complete");
        service.completed(done);
        QTRY_COMPARE(m_server.notices.size(), before + 2);
        QCOMPARE(m_server.notices.last().replaces, static_cast<uint>(before + 1 + 100));
        m_server.capabilities.removeAll("sound");

        // A click whose file is gone opens the folder instead.
        QDBusMessage click = QDBusMessage::createSignal("/org/freedesktop/Notifications",
                                                        "org.freedesktop.Notifications", "ActionInvoked");
        click << static_cast<uint>(before + 101) << QString("default");
        serverBus().send(click);
        QTRY_COMPARE(opened(), QStringList{"file://" + m_dir.filePath("Movies/Clips")});

        // Switched off: the notices are withdrawn and nothing more is sent.
        QCOMPARE(configure(service, false), "Download notifications are off.");
        QTRY_VERIFY(m_server.closed.contains(static_cast<uint>(before + 101)));
        service.completed(item("Not sent"));
        QTest::qWait(100);
        QCOMPARE(m_server.notices.size(), before + 2);
    }

    void untrustedTextStaysText_data()
    {
        QTest::addColumn<bool>("markup");
        QTest::addColumn<QString>("body");
        const QString title = "<img src=x><b>bold</b> & co";
        QTest::newRow("server reads markup")
            << true << "Saved to Clips\n&lt;img src=x&gt;&lt;b&gt;bold&lt;/b&gt; &amp; co";
        QTest::newRow("plain server") << false << "Saved to Clips\n" + title;
    }
    void untrustedTextStaysText()
    {
        QFETCH(bool, markup);
        QFETCH(QString, body);
        const QString title = "<img src=x><b>bold</b> & co";
        DownloadNotifications service;
        QCOMPARE(configure(service, true), "Download notifications are on.");
        if (markup)
            m_server.capabilities.append("body-markup");
        const qsizetype before = m_server.notices.size();
        service.completed(item(title));
        QTRY_COMPARE(m_server.notices.size(), before + 1);
        QCOMPARE(m_server.notices.last().body, body);
        m_server.capabilities.removeAll("body-markup");

        // And the banner shows the title as it is.
        CompletionBanners &banners = CompletionBanners::shared();
        banners.closeAll();
        banners.setLifetime(60000);
        banners.show(item(title));
        QLabel *shown = banners.banners().first()->findChildren<QLabel *>().at(2);
        QCOMPARE(shown->text(), title);
        QCOMPARE(shown->textFormat(), Qt::PlainText);
        banners.closeAll();
    }

    void aFailedNoticeBecomesABanner()
    {
        DownloadNotifications service;
        QCOMPARE(configure(service, true), "Download notifications are on.");
        CompletionBanners &banners = CompletionBanners::shared();
        banners.closeAll();
        banners.setLifetime(60000);
        m_server.refuse = true;
        const qsizetype before = m_server.notices.size();
        service.completed(item("Refused by the server"));
        QTRY_COMPARE(banners.banners().size(), 1);
        QCOMPARE(banners.banners().first()->findChildren<QLabel *>().at(2)->text(), "Refused by the server");
        QCOMPARE(m_server.notices.size(), before);
        m_server.refuse = false;
        banners.closeAll();
    }

    void bannersWhenNoServerAnswers()
    {
        QDBusConnection bus = serverBus();
        QVERIFY(bus.unregisterService("org.freedesktop.Notifications"));
        DownloadNotifications service;
        QCOMPARE(configure(service, true),
                 "Completion popups are on. No desktop notification service answered, so Lark shows its own popups.");
        QVERIFY(service.usesBanners());
        CompletionBanners &banners = CompletionBanners::shared();
        CompletionBanners::shared().setLifetime(60000);
        for (const char *title : {"first", "second", "third", "fourth"})
            service.completed(item(QString::fromLatin1(title)));
        QCOMPARE(banners.banners().size(), 3);
        const auto titles = [&banners] {
            QStringList result;
            for (QWidget *banner : banners.banners())
                result.append(banner->findChildren<QLabel *>().at(2)->text());
            return result;
        };
        QCOMPARE(titles(), QStringList({"second", "third", "fourth"}));
        const QRect visible = QGuiApplication::primaryScreen()->availableGeometry();
        for (int i = 0; i < 3; ++i) {
            QWidget *banner = banners.banners().at(i);
            QCOMPARE(banner->size(), QSize(372, 114));
            QCOMPARE(banner->pos(), QPoint(visible.right() + 1 - 392, visible.top() + 20 + 126 * i));
        }
        QTest::qWait(200);
        const QByteArray directory = qgetenv("LARK_SCREENSHOT_DIR");
        if (!directory.isEmpty())
            QGuiApplication::primaryScreen()
                ->grabWindow(0, visible.right() - 420, visible.top(), 420, 420)
                .save(QString::fromLocal8Bit(directory) + "/banners.png");

        // Closing the middle one moves the third up.
        QWidget *third = banners.banners().at(2);
        banners.banners().at(1)->findChildren<QAbstractButton *>().last()->click();
        QCOMPARE(banners.banners().size(), 2);
        QCOMPARE(third->pos().y(), visible.top() + 20 + 126);

        // Switching off closes them all.
        QCOMPARE(configure(service, false), "Download notifications are off.");
        QTRY_COMPARE(banners.banners().size(), 0);
        QVERIFY(bus.registerService("org.freedesktop.Notifications"));
    }

    void completionsCloseTogetherGiveOneNotice_data()
    {
        QTest::addColumn<bool>("banners");
        QTest::newRow("desktop notification") << false;
        QTest::newRow("the app's banner") << true;
    }
    void completionsCloseTogetherGiveOneNotice()
    {
        QFETCH(bool, banners);
        QDBusConnection bus = serverBus();
        if (banners)
            QVERIFY(bus.unregisterService("org.freedesktop.Notifications"));
        const auto restore = qScopeGuard([&] {
            if (banners)
                bus.registerService("org.freedesktop.Notifications");
        });
        DownloadNotifications service;
        configure(service, true, 300);
        QCOMPARE(service.usesBanners(), banners);
        CompletionBanners &shown = CompletionBanners::shared();
        shown.closeAll();
        shown.setLifetime(600000);
        const qsizetype before = m_server.notices.size();
        qsizetype clicked = 0; // a banner's button closes it
        const auto noticesSince = [&] {
            return banners ? shown.banners().size() + clicked : m_server.notices.size() - before;
        };

        // Ten files of one folder finish together: one notice, whose button opens the folder.
        for (int i = 1; i <= 10; ++i)
            service.completed(item(QString("Episode %1").arg(i), m_dir.filePath(QString("e%1.mp4").arg(i))));
        QCOMPARE(noticesSince(), 0); // held for the window
        QTRY_COMPARE_WITH_TIMEOUT(noticesSince(), 1, 120000);
        QTest::qWait(600);
        QCOMPARE(noticesSince(), 1);
        if (banners) {
            const QByteArray directory = qgetenv("LARK_SCREENSHOT_DIR");
            if (!directory.isEmpty()) {
                QTest::qWait(200);
                const QRect visible = QGuiApplication::primaryScreen()->availableGeometry();
                QGuiApplication::primaryScreen()
                    ->grabWindow(0, visible.right() - 420, visible.top(), 420, 160)
                    .save(QString::fromLocal8Bit(directory) + "/grouped-banner.png");
            }
            const QList<QLabel *> labels = shown.banners().first()->findChildren<QLabel *>();
            QCOMPARE(labels.at(1)->text(), "Lark \u00b7 10 downloads complete");
            QCOMPARE(labels.at(2)->text(), "Episode 1, Episode 2 and 8 more");
            const QStringList openedBefore = opened();
            shown.banners().first()->findChildren<QAbstractButton *>().first()->click();
            clicked = 1;
            QTRY_COMPARE(opened().size(), openedBefore.size() + 1);
            QCOMPARE(opened().last(), "file://" + m_dir.filePath("Movies/Clips"));
        } else {
            QCOMPARE(m_server.notices.last().summary, "10 downloads complete");
            QCOMPARE(m_server.notices.last().body, "Saved to Clips\nEpisode 1, Episode 2 and 8 more");
            QCOMPARE(m_server.notices.last().replaces, 0u);
        }

        // One more, later, alone: exactly as a single completion always is.
        service.completed(item("Alone"));
        QTRY_COMPARE_WITH_TIMEOUT(noticesSince(), 2, 120000);
        if (banners) {
            QCOMPARE(shown.banners().last()->findChildren<QLabel *>().at(1)->text(), "Lark \u00b7 Download complete");
            QCOMPARE(shown.banners().last()->findChildren<QLabel *>().at(2)->text(), "Alone");
        } else {
            QCOMPARE(m_server.notices.last().summary, "Download complete");
            QCOMPARE(m_server.notices.last().body, "Saved to Clips\nAlone");
        }
        shown.closeAll();
    }

    void bannersCloseThemselves()
    {
        // Each banner keeps the lifetime it was shown with; no assertion depends on how fast the machine is.
        CompletionBanners &banners = CompletionBanners::shared();
        banners.closeAll();
        banners.setLifetime(300);
        banners.show(item("short-lived"));
        banners.setLifetime(600000);
        banners.show(item("later"));
        QCOMPARE(banners.banners().size(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(banners.banners().size(), 1, 120000);
        QCOMPARE(banners.banners().first()->findChildren<QLabel *>().at(2)->text(), "later");
        banners.closeAll();
        QCOMPARE(banners.banners().size(), 0);
    }
};

QTEST_MAIN(TestNotifications)
#include "tst_notifications.moc"
