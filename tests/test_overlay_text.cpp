// The time-stamp line: format, zone name in force, independence from the process locale.
#include "overlay/TimeStampText.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// UTC calendar time to seconds since the epoch.
std::time_t Utc(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
}

// Sets TZ for one test and puts the previous value back.
class ZoneTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("TZ")) {
            savedZone_ = old;
            hadZone_ = true;
        }
    }
    void TearDown() override {
        if (hadZone_) {
            setenv("TZ", savedZone_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    static void Zone(const char* zone) { setenv("TZ", zone, 1); }

private:
    std::string savedZone_;
    bool hadZone_ = false;
};

TEST_F(ZoneTest, FormatsLocalTimeDateAndTheZoneNameInForce) {
    struct Case {
        const char* zone;
        std::time_t when;
        const char* text;
    };
    const Case cases[] = {
        {"JST-9", Utc(2026, 3, 4, 12, 5, 7), "21h05m07sMarch04,2026JST"},
        {"JST-9", Utc(2026, 3, 4, 0, 5, 7), "09h05m07sMarch04,2026JST"},
        {"JST-9", Utc(1999, 12, 31, 14, 59, 59), "23h59m59sDecember31,1999JST"},
        {"UTC0", Utc(2030, 5, 1, 0, 0, 0), "00h00m00sMay01,2030UTC"},
        // Daylight-saving time moves the clock, and the name with it.
        {"CET-1CEST,M3.5.0,M10.5.0/3", Utc(2026, 7, 15, 10, 0, 0), "12h00m00sJuly15,2026CEST"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", Utc(2026, 1, 15, 10, 0, 0),
         "11h00m00sJanuary15,2026CET"},
        {"EST5EDT,M3.2.0,M11.1.0", Utc(2026, 8, 1, 3, 30, 0), "23h30m00sJuly31,2026EDT"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.zone);
        Zone(c.zone);
        EXPECT_EQ(TimeStampText(c.when), c.text);
    }
}

// The zone database's own zones in both seasons: the name always matches the offset of the
// time shown (a stamp reading AEST for an AEDT time misstates it by an hour).
TEST_F(ZoneTest, NamesDaylightSavingTimeWhileItIsInForce) {
    struct Case {
        const char* zone;
        std::time_t when;
        const char* text;
    };
    const Case cases[] = {
        {"Europe/Berlin", Utc(2026, 7, 15, 10, 0, 0), "12h00m00sJuly15,2026CEST"},
        {"Europe/Berlin", Utc(2026, 1, 15, 10, 0, 0), "11h00m00sJanuary15,2026CET"},
        // Either side of the spring change (02:00 CET becomes 03:00 CEST).
        {"Europe/Berlin", Utc(2026, 3, 29, 0, 59, 59), "01h59m59sMarch29,2026CET"},
        {"Europe/Berlin", Utc(2026, 3, 29, 1, 0, 0), "03h00m00sMarch29,2026CEST"},
        // The southern summer is in December.
        {"Australia/Sydney", Utc(2026, 12, 15, 1, 0, 0), "12h00m00sDecember15,2026AEDT"},
        {"Australia/Sydney", Utc(2026, 6, 15, 2, 0, 0), "12h00m00sJune15,2026AEST"},
        {"America/New_York", Utc(2026, 8, 1, 3, 30, 0), "23h30m00sJuly31,2026EDT"},
        {"America/New_York", Utc(2026, 1, 15, 17, 0, 0), "12h00m00sJanuary15,2026EST"},
        {"Asia/Tokyo", Utc(2026, 7, 15, 3, 0, 0), "12h00m00sJuly15,2026JST"},
        {"Asia/Tokyo", Utc(2026, 1, 15, 3, 0, 0), "12h00m00sJanuary15,2026JST"},
        {"UTC", Utc(2026, 7, 15, 12, 0, 0), "12h00m00sJuly15,2026UTC"},
        {"UTC", Utc(2026, 1, 15, 12, 0, 0), "12h00m00sJanuary15,2026UTC"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + c.text);
        Zone(c.zone);
        EXPECT_EQ(TimeStampText(c.when), c.text);
    }
    // One zone after the other in the same process: the name follows each new setting.
    Zone("Australia/Sydney");
    EXPECT_EQ(TimeStampText(Utc(2026, 12, 15, 1, 0, 0)), "12h00m00sDecember15,2026AEDT");
    Zone("Europe/Berlin");
    EXPECT_EQ(TimeStampText(Utc(2026, 1, 15, 10, 0, 0)), "11h00m00sJanuary15,2026CET");
}

TEST_F(ZoneTest, ZoneChangeTakesEffectOnTheNextLine) {
    const std::time_t when = Utc(2026, 3, 4, 12, 5, 7);
    Zone("JST-9");
    EXPECT_EQ(TimeStampText(when), "21h05m07sMarch04,2026JST");
    // No tzset between: the builder re-reads the zone itself.
    Zone("UTC0");
    EXPECT_EQ(TimeStampText(when), "12h05m07sMarch04,2026UTC");
}

// Qt sets the process locale from the environment at start-up; the stamp must not follow
// it. The German locale is compiled into a temporary directory for the test.
TEST_F(ZoneTest, MonthNamesStayEnglishUnderAnotherLocale) {
    QTemporaryDir localeDir;
    ASSERT_TRUE(localeDir.isValid());
    const std::string dir = localeDir.path().toStdString();
    const std::string command = "localedef -i de_DE -f UTF-8 '" + dir +
                                "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        GTEST_SKIP() << "localedef cannot build de_DE.UTF-8 here";
    }
    const char* oldPath = std::getenv("LOCPATH");
    const std::string savedPath = oldPath ? oldPath : "";
    const std::string savedLocale = std::setlocale(LC_ALL, nullptr);
    setenv("LOCPATH", dir.c_str(), 1);
    const char* german = std::setlocale(LC_ALL, "de_DE.UTF-8");

    Zone("JST-9");
    const std::time_t when = Utc(2026, 12, 4, 12, 5, 7);
    std::string plain;
    std::string stamp;
    if (german != nullptr) {
        char buffer[64];
        std::tm local{};
        localtime_r(&when, &local);
        plain.assign(buffer, std::strftime(buffer, sizeof buffer, "%B", &local));
        stamp = TimeStampText(when);
    }
    std::setlocale(LC_ALL, savedLocale.c_str());
    if (oldPath) {
        setenv("LOCPATH", savedPath.c_str(), 1);
    } else {
        unsetenv("LOCPATH");
    }
    ASSERT_NE(german, nullptr) << "the compiled locale was not accepted";
    ASSERT_EQ(plain, "Dezember") << "the locale did not take effect";
    EXPECT_EQ(stamp, "21h05m07sDecember04,2026JST");
}

}  // namespace
