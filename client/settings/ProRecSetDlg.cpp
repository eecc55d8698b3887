#include "ProRecSetDlg.h"

#include "LangText.h"
#include "SettingsJson.h"
#include "libLumora.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTime>
#include <QTimeEdit>
#include <QVBoxLayout>
#include <cctype>
#include <climits>

namespace {

constexpr const char* kSection = "SDRecSet";
// The schedule members of a row, in picker order.
constexpr const char* kTimeKeys[4] = {"St1", "Ed1", "St2", "Ed2"};

// The rows of "RecTime" by index: check box, the four pickers (St1, Ed1, St2, Ed2), language key,
// and where the row stands (column 0 every day, Tuesday, Thursday, Saturday; column 1 the others).
struct RowControls {
    int check;
    int times[4];
    const char* key;
    int column;
    int line;
};
constexpr RowControls kRows[8] = {
    {1094, {1054, 1056, 1057, 1058}, "Eve", 0, 0}, {1101, {1081, 1082, 1083, 1084}, "Sun", 1, 3},
    {1098, {1059, 1060, 1061, 1062}, "Mon", 1, 0}, {1095, {1063, 1064, 1085, 1086}, "Tue", 0, 1},
    {1099, {1065, 1066, 1067, 1068}, "Wed", 1, 1}, {1096, {1073, 1074, 1075, 1076}, "Thu", 0, 2},
    {1100, {1069, 1070, 1071, 1072}, "Fri", 1, 2}, {1097, {1077, 1078, 1079, 1080}, "Sat", 0, 3},
};
// Minutes of one recording file; "RecMins" is the index into this list.
constexpr const char* kRecMinutes[] = {"2", "5", "10", "15", "20", "25", "30", "60"};

int getRecSetting(std::string uid, DeviceResultCallback callback)
{
    Json::Value request;
    request["Path"] = "/mnt/sdcard0/media/sensor0";
    request["Vich"] = 0;
    return GetRecSetting(std::move(uid), WriteStyled(request), std::move(callback));
}

// Reads "hour:minute:second" into the three numbers from the front, like "%d:%d:%d": a part the
// text lacks keeps its value. A number too long for an int reads as -1, which no time of day has.
void scanTime(const std::string& text, int (&parts)[3])
{
    size_t p = 0;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (p >= text.size() || text[p] != ':')
                return;
            ++p;
        }
        while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p])))
            ++p;
        bool negative = false;
        if (p < text.size() && (text[p] == '+' || text[p] == '-'))
            negative = text[p++] == '-';
        if (p >= text.size() || !std::isdigit(static_cast<unsigned char>(text[p])))
            return;
        long long value = 0;
        while (p < text.size() && std::isdigit(static_cast<unsigned char>(text[p]))) {
            if (value <= INT_MAX)
                value = value * 10 + (text[p] - '0');
            ++p;
        }
        parts[i] = value > INT_MAX ? -1 : static_cast<int>(negative ? -value : value);
    }
}

QString sizeText(const char* key, int megabytes)
{
    return QStringLiteral("%1\uFF1A%2 GB").arg(LangText(kSection, key)).arg(megabytes / 1024.0, 0, 'f', 2);
}

} // namespace

ProRecSetDlg::ProRecSetDlg(QWidget* parent)
    : DevicePage(IDD, {"Rec.Conf", getRecSetting, SetRecSetting, Writer::Styled, SetReport::Common, true}, parent)
{
    confirm = [this](const QString& question) {
        return QMessageBox::question(this, QApplication::applicationDisplayName(), question,
                                     QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok;
    };

    auto* grid = new QGridLayout(this);
    auto* info = new QVBoxLayout;
    m_status = control(1047, new QLabel(text(kSection, "SDStatus"), this));
    m_capacity = control(1048, new QLabel(text(kSection, "SDCapacity"), this));
    m_free = control(1049, new QLabel(text(kSection, "SDResidue"), this));
    m_autoDel = control(1050, new QCheckBox(text(kSection, "SDRecover"), this));
    auto* minutesLabel = control(1052, new QLabel(text(kSection, "SDRecTime"), this));
    m_recMins = control(1051, new QComboBox(this));
    for (const char* minutes : kRecMinutes)
        m_recMins->addItem(QString::fromLatin1(minutes));
    m_recMins->setCurrentIndex(-1);
    minutesLabel->setBuddy(m_recMins);
    for (QWidget* w : std::initializer_list<QWidget*>{m_status, m_capacity, m_free, m_autoDel, minutesLabel, m_recMins})
        info->addWidget(w);
    info->addStretch(1);
    grid->addLayout(info, 0, 0);

    // Each row: its check box, then the first period above the second, start left of end.
    auto* schedule = new QGridLayout;
    schedule->setHorizontalSpacing(6);
    for (int i = 0; i < 8; ++i) {
        const RowControls& c = kRows[i];
        Row& row = m_rows[i];
        const int line = c.line * 2;
        const int column = c.column * 4;
        row.enable = control(c.check, new QCheckBox(text(kSection, c.key), this));
        schedule->addWidget(row.enable, line, column, 2, 1);
        for (int t = 0; t < 4; ++t) {
            auto* picker = control(c.times[t], new QTimeEdit(this));
            picker->setDisplayFormat(QStringLiteral("HH:mm:ss"));
            picker->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            picker->setTime(QTime(0, 0, 0));
            row.times[t] = picker;
            schedule->addWidget(picker, line + t / 2, column + 1 + t % 2);
        }
    }
    schedule->setColumnMinimumWidth(3, 16);
    grid->addLayout(schedule, 0, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_format = control(1053, new QPushButton(text(kSection, "SDFormat"), this));
    m_format->setEnabled(false);
    connect(m_format, &QPushButton::clicked, this, [this] { startFormat(); });
    buttons->addWidget(m_format);
    auto* set = control(1, new QPushButton(text(kSection, "SDSet"), this));
    set->setDefault(true);
    setSaveButton(set);
    buttons->addWidget(set);
    grid->addLayout(buttons, 1, 0, 1, 2);
    grid->setRowStretch(2, 1);
    grid->setColumnStretch(2, 1);

    connect(this, &DevicePage::loaded, this, [this](int result) { onLoaded(result); });
}

void ProRecSetDlg::showDisk(const Json::Value& disk)
{
    const bool valid = MemberBool(disk, "isValid");
    m_status->setText(text(kSection, "SDStatus") + QLatin1Char(':') + text(kSection, valid ? "Valiad" : "Invaliad"));
    m_capacity->setText(sizeText("SDCapacity", MemberInt(disk, "Total")));
    m_free->setText(sizeText("SDResidue", MemberInt(disk, "Free")));
}

void ProRecSetDlg::fromJson(const Json::Value& rec)
{
    showDisk(MemberObject(rec, "DiskInfo"));
    m_autoDel->setChecked(MemberBool(rec, "AutoDel"));
    const int minutes = MemberInt(rec, "RecMins", -1);
    m_recMins->setCurrentIndex(minutes >= 0 && minutes < m_recMins->count() ? minutes : -1);
    const Json::Value& rows = MemberArray(rec, "RecTime");
    for (Json::ArrayIndex i = 0; i < rows.size() && i < 8; ++i) {
        const Json::Value& row = rows[i];
        if (!row.isObject())
            continue; // not a row: its controls stay as they are
        Row& controls = m_rows[i];
        controls.enable->setChecked(MemberInt(row, "En") != 0);
        // A time that lacks a part keeps that part of the row's time before it.
        int parts[3] = {0, 0, 0};
        for (int t = 0; t < 4; ++t) {
            if (!HasString(row, kTimeKeys[t]))
                continue;
            scanTime(row[kTimeKeys[t]].asString(), parts);
            const QTime time(parts[0], parts[1], parts[2]);
            if (time.isValid())
                controls.times[t]->setTime(time);
        }
    }
}

void ProRecSetDlg::toJson(Json::Value& rec) const
{
    rec["RecMins"] = m_recMins->currentIndex();
    rec["AutoDel"] = m_autoDel->isChecked();
    // Only the rows the device sent are edited; a missing schedule is not made up.
    if (!rec.isMember("RecTime") || !rec["RecTime"].isArray())
        return;
    Json::Value& rows = rec["RecTime"];
    for (Json::ArrayIndex i = 0; i < rows.size() && i < 8; ++i) {
        if (!rows[i].isObject())
            continue;
        const Row& controls = m_rows[i];
        rows[i]["En"] = controls.enable->isChecked() ? 1 : 0;
        for (int t = 0; t < 4; ++t) {
            const QTime time = controls.times[t]->time();
            rows[i][kTimeKeys[t]] =
                QStringLiteral("%1:%2:%3").arg(time.hour()).arg(time.minute()).arg(time.second()).toStdString();
        }
    }
}

void ProRecSetDlg::onLoad()
{
    // A format of another device is no longer this page's business.
    if (m_formatting && uid() != m_formatUid) {
        m_formatting = false;
        m_rereading = false;
    }
    updateFormatButton();
}

void ProRecSetDlg::updateFormatButton()
{
    m_format->setEnabled(canSave() && !m_formatting);
}

void ProRecSetDlg::startFormat()
{
    if (!canSave() || m_formatting || !confirm(text(kSection, "FormatAsk")))
        return;
    m_formatting = true;
    m_rereading = false;
    m_rereads = 0;
    m_formatUid = uid();
    updateFormatButton();
    m_status->setText(text(kSection, "SDStatus") + QLatin1Char(':') + text(kSection, "Formatting"));
    const QString device = uid();
    send(SetSDFormat, [this, device](int result, const std::string& reply) { onFormatReply(device, result, reply); });
}

void ProRecSetDlg::onFormatReply(const QString& device, int result, const std::string& reply)
{
    // The SDK's time-out: an answer that never came and carried nothing.
    const bool timedOut = result == -1 && reply.empty();
    int outcome = result;
    if (result == 0) {
        const std::optional<Json::Value> root = ParseDeviceText(reply);
        if (root && HasInt(*root, "res"))
            outcome = MemberInt(*root, "res");
    }
    if (!m_formatting || device != m_formatUid) {
        // The page went on to another device meanwhile: only a plain failure is still told.
        if (outcome != 0 && !timedOut)
            report(text("DevInfo", "Fail"));
        return;
    }
    if (outcome != 0 && !timedOut) {
        endFormat(outcome);
        return;
    }
    m_rereading = true;
    rereadDisk();
}

void ProRecSetDlg::rereadDisk()
{
    m_status->setText(text(kSection, "SDStatus") + QLatin1Char(':') + text(kSection, "Formatting"));
    load(uid());
}

void ProRecSetDlg::onLoaded(int result)
{
    updateFormatButton();
    if (!m_rereading)
        return;
    if (result == 0) {
        endFormat(0);
        return;
    }
    // A device busy formatting may leave the ask unanswered or answer it half-way: ask again.
    if ((result == -1 || result == kUnusableReply) && ++m_rereads < kFormatRereads) {
        rereadDisk();
        return;
    }
    endFormat(result);
}

void ProRecSetDlg::endFormat(int result)
{
    m_formatting = false;
    m_rereading = false;
    updateFormatButton();
    if (result != 0) {
        showDisk(MemberObject(keptDocument(), "DiskInfo"));
        report(text("DevInfo", "Fail"));
    }
    emit formatFinished(result);
}
