#pragma once

#include "answers.h"
#include "requests.h"
#include "sharedfiles.h"

#include <QString>

namespace tavrel::server {

class Store;

// What a file worker did with an upload. The default is what a worker without a database
// returns: a failure, never a stored file.
struct UploadOutcome
{
    QString refusal = answers::serverBusy(); // empty: stored
    QString storedName;
    qint64 size = 0;
};

// What a client is told when its upload is refused for this reason.
QString uploadRefusalText(FileStore::Refusal refusal);

// Runs on a file worker. The file and its record are kept together: the quota is checked
// and the file counted in one transaction, so that parallel uploads, on any server sharing
// the database, cannot pass it together.
UploadOutcome storeUpload(Store &store, const FileStore &files, const UploadFields &fields,
                          const QString &uploader, qint64 quota, qint64 nowMs);

} // namespace tavrel::server
