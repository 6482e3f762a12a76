// The logind client of the Linux power services against a mock logind on a private system
// bus, and against a bus without logind and no bus at all.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/power/LinuxPowerServices.h"
#include "power/PowerDecision.h"
#include "power/WakeTimer.h"

namespace {

const QString kLogind = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");

// Sets DBUS_SYSTEM_BUS_ADDRESS for a while and puts the previous value back.
class ScopedSystemBusAddress {
public:
    explicit ScopedSystemBusAddress(const QString& address) {
        if (const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
            previous_ = old;
        }
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.toLocal8Bit().constData(), 1);
    }
    ~ScopedSystemBusAddress() {
        if (previous_) {
            setenv("DBUS_SYSTEM_BUS_ADDRESS", previous_->c_str(), 1);
        } else {
            unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        }
    }

private:
    std::optional<std::string> previous_;
};

// Children die with the test program even if it crashes.
void DieWithParent() {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
}

void Stop(QProcess& process) {
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

// A dbus-daemon of our own that allows everything, optionally with python-dbusmock's logind
// template on it. Everything started is killed and the directory removed on destruction.
class PrivateSystemBus {
public:
    PrivateSystemBus() = default;
    ~PrivateSystemBus() {
        QDBusConnection::disconnectFromBus(kObserverName);
        Stop(logind_);
        Stop(daemon_);
    }

    // Empty on success, else why the bus could not be had.
    QString Start() {
        if (!dir_.isValid()) {
            return QStringLiteral("no temporary directory");
        }
        if (!QFileInfo::exists(QStringLiteral("/usr/bin/dbus-daemon"))) {
            return QStringLiteral("dbus-daemon is not installed");
        }
        const QString socket = dir_.filePath(QStringLiteral("system_bus_socket"));
        const QString config = dir_.filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly)) {
            return QStringLiteral("cannot write the bus configuration");
        }
        file.write(QStringLiteral(
                       "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                       "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/"
                       "busconfig.dtd\">\n"
                       "<busconfig>\n"
                       "  <listen>unix:path=%1</listen>\n"
                       "  <auth>EXTERNAL</auth>\n"
                       "  <policy context=\"default\">\n"
                       "    <allow user=\"*\"/>\n"
                       "    <allow own=\"*\"/>\n"
                       "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                       "    <allow receive_sender=\"*\"/>\n"
                       "  </policy>\n"
                       "</busconfig>\n")
                       .arg(socket)
                       .toUtf8());
        file.close();

        daemon_.setChildProcessModifier(DieWithParent);
        daemon_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        daemon_.start(QStringLiteral("/usr/bin/dbus-daemon"),
                      {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                       QStringLiteral("--print-address=1")});
        // The address is printed once the daemon listens.
        if (!daemon_.waitForStarted(5000) || !daemon_.waitForReadyRead(5000)) {
            return QStringLiteral("dbus-daemon did not start");
        }
        address_ = QStringLiteral("unix:path=") + socket;
        QDBusConnection observer = QDBusConnection::connectToBus(address_, kObserverName);
        if (!observer.isConnected()) {
            return QStringLiteral("cannot connect to the private bus: ") +
                   observer.lastError().message();
        }
        return {};
    }

    // Empty on success, else why the mock could not be had.
    QString StartLogind() {
        if (!QFileInfo::exists(QStringLiteral("/usr/bin/python3"))) {
            return QStringLiteral("/usr/bin/python3 is missing");
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address_);
        logind_.setProcessEnvironment(env);
        logind_.setChildProcessModifier(DieWithParent);
        logind_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        logind_.setStandardOutputFile(QProcess::nullDevice());
        logind_.start(QStringLiteral("/usr/bin/python3"),
                      {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"),
                       QStringLiteral("--template"), QStringLiteral("logind")});
        if (!logind_.waitForStarted(5000)) {
            return QStringLiteral("python3 did not start");
        }
        QDBusConnection observer = QDBusConnection(kObserverName);
        QElapsedTimer waited;
        waited.start();
        while (!observer.interface()->isServiceRegistered(kLogind).value()) {
            if (logind_.state() == QProcess::NotRunning) {
                return QStringLiteral("the logind mock exited (is python3-dbusmock installed?)");
            }
            if (waited.elapsed() > 15000) {
                return QStringLiteral("the logind mock did not take its name");
            }
            QThread::msleep(50);
        }
        return {};
    }

    const QString& Address() const { return address_; }

    struct Call {
        QString method;
        QVariantList arguments;
    };

    // The calls the mock logind has received, oldest first.
    std::vector<Call> Calls() const {
        QDBusMessage request = QDBusMessage::createMethodCall(
            kLogind, kLogindPath, QStringLiteral("org.freedesktop.DBus.Mock"),
            QStringLiteral("GetCalls"));
        const QDBusMessage reply = QDBusConnection(kObserverName).call(request, QDBus::Block, 5000);
        std::vector<Call> calls;
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        if (reply.arguments().isEmpty()) {
            return calls;
        }
        // a(tsav): time stamp, method name, arguments.
        const QDBusArgument list = reply.arguments().at(0).value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            Call call;
            quint64 stamp = 0;
            list.beginStructure();
            list >> stamp >> call.method;
            list.beginArray();
            while (!list.atEnd()) {
                QDBusVariant argument;
                list >> argument;
                call.arguments.push_back(argument.variant());
            }
            list.endArray();
            list.endStructure();
            calls.push_back(call);
        }
        list.endArray();
        return calls;
    }

    // Makes the mock answer a method with a D-Bus error, as logind does when policy refuses.
    bool Refuse(const QString& method) {
        return Replace(method, QStringLiteral("raise dbus.exceptions.DBusException('refused', "
                                              "name='org.freedesktop.DBus.Error.AccessDenied')"));
    }

    // Makes the mock take its time before it answers a method.
    bool Delay(const QString& method, int milliseconds) {
        return Replace(method, QStringLiteral("import time; time.sleep(%1)")
                                   .arg(milliseconds / 1000.0));
    }

private:
    // Gives a Manager method of the mock (one boolean argument, no result) new Python code.
    bool Replace(const QString& method, const QString& code) {
        QDBusMessage request = QDBusMessage::createMethodCall(
            kLogind, kLogindPath, QStringLiteral("org.freedesktop.DBus.Mock"),
            QStringLiteral("AddMethod"));
        request << QStringLiteral("org.freedesktop.login1.Manager") << method
                << QStringLiteral("b") << QString() << code;
        const QDBusMessage reply = QDBusConnection(kObserverName).call(request, QDBus::Block, 5000);
        return reply.type() == QDBusMessage::ReplyMessage;
    }

    inline static const QString kObserverName = QStringLiteral("brisolt-test-observer");
    QTemporaryDir dir_;
    QProcess daemon_;
    QProcess logind_;
    QString address_;
};

LinuxPowerServices::Options QuickOptions() {
    LinuxPowerServices::Options options;
    options.sleepWaitMs = 150;
    options.sleepPollMs = 20;
    return options;
}

MATCHER_P(IsCallWithFalse, method, "") {
    return arg.method == method && arg.arguments.size() == 1 &&
           arg.arguments.at(0).typeId() == QMetaType::Bool && !arg.arguments.at(0).toBool();
}

class LogindTest : public ::testing::Test {
protected:
    void SetUp() override {
        const QString busError = bus.Start();
        if (!busError.isEmpty()) {
            GTEST_SKIP() << busError.toStdString();
        }
    }

    void StartLogind() {
        const QString error = bus.StartLogind();
        ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    }

    // Services made while the private bus is the system bus; the address is fixed then.
    std::unique_ptr<LinuxPowerServices> MakeServices(
        const LinuxPowerServices::Options& options = QuickOptions()) {
        ScopedSystemBusAddress address(bus.Address());
        return std::make_unique<LinuxPowerServices>(options);
    }

    PrivateSystemBus bus;
};

TEST_F(LogindTest, HibernateAsksLogindNonInteractively) {
    StartLogind();
    auto services = MakeServices();
    // Later changes of the environment do not move the services to another bus.
    ScopedSystemBusAddress elsewhere(QStringLiteral("unix:path=/nonexistent/brisolt-elsewhere"));

    EXPECT_TRUE(services->Hibernate());
    EXPECT_THAT(bus.Calls(), ::testing::ElementsAre(IsCallWithFalse(QStringLiteral("Hibernate"))));
}

TEST_F(LogindTest, SuspendReturnsAfterTheWaitWithoutRunningOtherHandlers) {
    StartLogind();
    auto services = MakeServices();
    bool otherHandlerRan = false;
    QTimer::singleShot(0, [&otherHandlerRan] { otherHandlerRan = true; });

    QElapsedTimer took;
    took.start();
    EXPECT_TRUE(services->Suspend());
    const qint64 elapsedMs = took.elapsed();

    // The mock never sleeps, so the call gives up after its wait bound.
    EXPECT_GE(elapsedMs, 140);
    EXPECT_LT(elapsedMs, 3000);
    EXPECT_FALSE(otherHandlerRan) << "an event loop ran inside Suspend";
    EXPECT_THAT(bus.Calls(), ::testing::ElementsAre(IsCallWithFalse(QStringLiteral("Suspend"))));

    QCoreApplication::processEvents();
    EXPECT_TRUE(otherHandlerRan);
}

TEST_F(LogindTest, SuspendReturnsAsSoonAsTheMachineHasResumed) {
    StartLogind();
    // The machine may go to sleep and come back before logind's reply has been read: here
    // the mock answers after 500 ms, and the suspended time grows by 40 s while it works.
    ASSERT_TRUE(bus.Delay(QStringLiteral("Hibernate"), 500));
    LinuxPowerServices::Options options = QuickOptions();
    options.sleepWaitMs = 5000;
    QElapsedTimer sinceRequest;
    options.suspendedClock = [&sinceRequest]() -> std::int64_t {
        return sinceRequest.elapsed() < 250 ? 0 : std::int64_t{40} * 1'000'000'000;
    };
    auto services = MakeServices(options);

    sinceRequest.start();
    EXPECT_TRUE(services->Hibernate());
    const qint64 elapsedMs = sinceRequest.elapsed();
    EXPECT_GE(elapsedMs, 490);
    EXPECT_LT(elapsedMs, 2500) << "waited for a sleep that had already happened";
    EXPECT_THAT(bus.Calls(), ::testing::ElementsAre(IsCallWithFalse(QStringLiteral("Hibernate"))));
}

TEST_F(LogindTest, RefusedRequestsReturnFalseAtOnce) {
    StartLogind();
    ASSERT_TRUE(bus.Refuse(QStringLiteral("Suspend")));
    ASSERT_TRUE(bus.Refuse(QStringLiteral("Hibernate")));
    LinuxPowerServices::Options options = QuickOptions();
    options.sleepWaitMs = 5000;  // must not be waited for when logind says no
    auto services = MakeServices(options);

    QElapsedTimer took;
    took.start();
    EXPECT_FALSE(services->Suspend());
    EXPECT_FALSE(services->Hibernate());
    EXPECT_LT(took.elapsed(), 2000);
    EXPECT_THAT(bus.Calls(), ::testing::ElementsAre(IsCallWithFalse(QStringLiteral("Suspend")),
                                                    IsCallWithFalse(QStringLiteral("Hibernate"))));
}

TEST_F(LogindTest, BusWithoutLogindRefusesQuickly) {
    auto services = MakeServices();
    QElapsedTimer took;
    took.start();
    EXPECT_FALSE(services->Suspend());
    EXPECT_FALSE(services->Hibernate());
    EXPECT_LT(took.elapsed(), 2000);
}

TEST(LogindAbsentTest, NoBusAtAllRefusesQuickly) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ScopedSystemBusAddress address(QStringLiteral("unix:path=") + dir.filePath("no-bus-here"));
    LinuxPowerServices services(QuickOptions());
    QElapsedTimer took;
    took.start();
    EXPECT_FALSE(services.Suspend());
    EXPECT_FALSE(services.Hibernate());
    EXPECT_LT(took.elapsed(), 2000);
}

// The whole step between frames on the real services: the alarm timer is armed first, then
// logind is asked to suspend.
TEST_F(LogindTest, SuspendBetweenFramesArmsTheAlarmThenAsksLogind) {
    StartLogind();
    auto services = MakeServices();
    services->EnableWakePrivilege();
    const int probe = timerfd_create(CLOCK_REALTIME_ALARM, TFD_CLOEXEC);
    const int probeError = errno;
    if (probe < 0) {
        GTEST_SKIP() << "no usable CLOCK_REALTIME_ALARM: " << strerror(probeError);
    }
    close(probe);

    wakeTimer.reset();
    FrameSleepInputs inputs{CurrentUtcSeconds(), 60, 15, [] { return true; }};
    EXPECT_EQ(SuspendUntilNextFrameAt(services.get(), inputs), SleepOutcome::Suspended);
    EXPECT_THAT(bus.Calls(), ::testing::ElementsAre(IsCallWithFalse(QStringLiteral("Suspend"))));
    ASSERT_NE(wakeTimer, nullptr);
    EXPECT_TRUE(services->CancelWaitableTimer(wakeTimer));
    wakeTimer.reset();
}

}  // namespace
