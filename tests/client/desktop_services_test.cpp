// Help pages, sounds and keep-awake.
#include "CaseName.h"
#include "ClientTestSupport.h"
#include "DesktopServices.h"

#include <QDBusConnection>
#include <QFileInfo>
#include <QThread>

using namespace clienttest;

namespace {

struct HelpCase {
    const char* name;
    const char* language;
    const char* page;
};
void PrintTo(const HelpCase& c, std::ostream* os) { *os << c.name; }

class HelpPage : public ::testing::TestWithParam<HelpCase> {};

TEST_P(HelpPage, ChosenByTheLanguageCode)
{
    EXPECT_EQ(HelpPageFor(GetParam().language), GetParam().page);
}

INSTANTIATE_TEST_SUITE_P(Cases, HelpPage,
                         ::testing::Values(HelpCase{"chineseValue", "CN_LAN", "help/Help_CN.html"},
                                           HelpCase{"bareChineseCode", "CN", "help/Help_CN.html"},
                                           HelpCase{"english", "EN_LAN", "help/Help_EN.html"},
                                           HelpCase{"lowerCaseIsNotChinese", "cn_LAN", "help/Help_EN.html"},
                                           HelpCase{"otherLanguage", "FR_LAN", "help/Help_EN.html"},
                                           HelpCase{"empty", "", "help/Help_EN.html"}),
                         CaseName());

TEST(HelpPageFile, InstalledPageForTheCurrentLanguageExists)
{
    QTemporaryDir dir;
    PrepareDataFolder(dir, "CN_LAN");
    const QString page = HelpPageUrl().toLocalFile();
    EXPECT_TRUE(page.endsWith("help/Help_CN.html")) << page.toStdString();
    // The test program lies beside the build's client folder; the build installs the pages there.
    EXPECT_TRUE(QFileInfo::exists(QStringLiteral(LUMORA_BINARY_DIR "/client/help/Help_CN.html")));
}

TEST(ClientSound, PlayingFromAnyThreadReturnsAtOnce)
{
    PlayClientSound("Alarm.wav");
    PlayClientSound("no-such-sound.wav");
    QThread worker;
    bool called = false;
    QObject::connect(&worker, &QThread::started, &worker, [&] {
        PlayClientSound("snap.wav");
        called = true;
    }, Qt::DirectConnection);
    worker.start();
    ASSERT_TRUE(WaitFor([&] { return worker.isFinished() || called; }));
    worker.quit();
    worker.wait();
    EXPECT_TRUE(called);
    QCoreApplication::processEvents();
}

TEST(KeepAwakeService, WithoutADesktopItDoesNothing)
{
    const bool bus = QDBusConnection::sessionBus().isConnected();
    KeepAwake awake;
    if (!bus) {
        EXPECT_FALSE(awake.active());
    }
}

}  // namespace
