#include "ClientDatabase.h"

#include "ClientPaths.h"
#include "StringConvert.h"

#include <QFileInfo>

int OpenClientDatabase(SqliteDb& db, const QString& name, bool* existedBefore)
{
    const QString path = DataFilePath(name);
    if (existedBefore != nullptr) {
        *existedBefore = QFileInfo(path).isFile();
    }
    return db.Open(WideToUtf8(path));
}

bool ClientDatabaseExists(const QString& name)
{
    return QFileInfo(DataFilePath(name)).isFile();
}
