#pragma once
// The client's one settings object: where "Lumora.ini" lies, its keys, the PC-side recording
// plan, and every user-visible text from the language file chosen in "Lumora.ini".
//
// "Lumora.ini" is installed with the program and never created here: every writer tests that it
// exists and writes nothing otherwise. The language file is "<folder>/<[Language] language>.ini"
// (EN_LAN gives EN_LAN.ini); its path is cached from the first lookup, its texts are read again
// on every call. Safe to call from any thread.

#include <QString>
#include <array>
#include <mutex>

struct RecPlanDay {
    bool enable = false;
    QString start;  // HH:MM:SS
    QString end;    // HH:MM:SS
};

// The recording plan; days in the order Eve (every day), Mon, Tue, Wed, Thu, Fri, Sat, Sun.
struct RecPlan {
    bool Enable = false;
    bool AutoCover = false;
    int RecTime = 1;  // index 0..5 of the lengths 5, 10, 15, 20, 25, 30 minutes
    std::array<RecPlanDay, 8> days;
};

class CAppConfig {
public:
    // The one object, made on the first call for the data folder (see ClientPaths.h).
    static CAppConfig* GetInstance();

    explicit CAppConfig(const QString& folder);

    // Text of key in section of the current language file; empty when the file, the section or
    // the key is missing.
    QString GetLangString(QString section, QString key);
    // Forgets the cached language-file path, so the next lookup reads [Language] again.
    void ClearLangFile();
    // The language file in use (resolved on demand).
    QString LangFile();

    QString iniPath() const { return m_iniPath; }
    bool IniExists() const;

    // Folders of [PathSetting]; empty when "Lumora.ini" does not exist, the default when the key
    // is missing or empty ("C://Lumora//Download" and the like). A folder written without a
    // leading "/" is taken under the data folder.
    QString GetDownloadPath() const;
    QString GetSnapPath() const;
    QString GetRecPath() const;
    QString GetAlarmPath() const;

    // [Hardware] Type: written only when the file exists; read as 0 when it does not.
    void SetHardwareType(int type);
    int GetHardwareType() const;

    // Reads [RecPlan] into the plan (only when the file exists) and returns the plan, which lives
    // as long as this object. The pointer's fields are not locked: threads that share the plan
    // read and write it through CopyRecPlan/StoreRecPlan instead.
    RecPlan* LoadRecPlan();
    // Writes every [RecPlan] key from plan when the file exists.
    void SaveRecPlan(const RecPlan& plan);
    // Locked forms: reload and copy; replace and save.
    RecPlan CopyRecPlan();
    void StoreRecPlan(const RecPlan& plan);

    // Plain profile access to "Lumora.ini" for the settings dialogs. Reads give the default when
    // the file or key is missing; WriteProfileString writes only when the file exists and returns
    // whether it wrote.
    QString ReadProfileString(const QString& section, const QString& key, const QString& defaultValue) const;
    int ReadProfileInt(const QString& section, const QString& key, int defaultValue) const;
    bool WriteProfileString(const QString& section, const QString& key, const QString& value) const;

    // Points the process-wide object at another data folder (the --data-dir option, tests).
    void SetFolder(const QString& folder);
    QString Folder() const;

private:
    QString pathSetting(const char* key, const char* defaultValue) const;
    void readPlanLocked();

    mutable std::mutex m_mutex;  // guards the paths and the language file
    QString m_folder;
    QString m_iniPath;
    QString m_langFile;
    std::mutex m_planMutex;  // guards m_plan for the locked forms
    RecPlan m_plan;
};

// The day key prefixes in plan order.
extern const std::array<const char*, 8> kRecPlanDayNames;
