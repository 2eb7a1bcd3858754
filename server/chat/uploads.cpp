#include "uploads.h"

#include "answers.h"
#include "filenames.h"
#include "protocol.h"
#include "tables.h"

#include <QCryptographicHash>

namespace tavrel::server {

namespace {

UploadOutcome refusedUpload(const QString &refusal)
{
    UploadOutcome outcome;
    outcome.refusal = refusal;
    return outcome;
}

// In a database that instances share, the upload is kept there, under a name free both
// there and in this instance's folder, so that every instance serves it.
UploadOutcome storeSharedUpload(Store &store, const FileStore &files, const UploadFields &fields,
                                const QString &uploader, qint64 quota, qint64 nowMs)
{
    QString name;
    const FileStore::Refusal refusal = FileStore::check(fields.path, fields.contents, &name);
    if (refusal != FileStore::Refusal::None)
        return refusedUpload(uploadRefusalText(refusal));
    // The database cannot be reached: a wait, not a verdict on the file.
    if (!store.begin())
        return refusedUpload(answers::serverBusy());
    const qint64 size = fields.contents.size();
    const qint64 used = store.uploadedBytes(uploader);
    if (used < 0 || used + size > quota) {
        store.rollback();
        return refusedUpload(used < 0 ? answers::serverBusy() : answers::uploadQuotaExceeded(quota));
    }
    const QByteArray sha256 = QCryptographicHash::hash(fields.contents, QCryptographicHash::Sha256).toHex();
    bool tooLong = false;
    const bool placed = placeUnderFreeName(name, [&](const QString &candidate) {
        QString servable;
        if (!FileStore::isServableName(candidate, &servable) || servable != candidate) {
            tooLong = true;
            return Placement::Failed;
        }
        if (files.contains(candidate))
            return Placement::Taken;
        bool taken = false;
        if (store.insertUploadWithContents({candidate, uploader, size, sha256, nowMs}, fields.contents,
                                           &taken))
            return Placement::Placed;
        return taken ? Placement::Taken : Placement::Failed;
    });
    if (!placed || !store.commit()) {
        store.rollback();
        return refusedUpload(tooLong ? answers::uploadBadName() : answers::serverBusy());
    }
    UploadOutcome outcome;
    outcome.refusal.clear();
    outcome.storedName = name;
    outcome.size = size;
    return outcome;
}

} // namespace

QString uploadRefusalText(FileStore::Refusal refusal)
{
    switch (refusal) {
    case FileStore::Refusal::BadName:
        return answers::uploadBadName();
    case FileStore::Refusal::TooBig:
        return answers::uploadTooBig(kMaxOutgoingFileSize);
    case FileStore::Refusal::NotText:
        return answers::uploadNotText();
    case FileStore::Refusal::NoSpace:
        return answers::uploadDiskFull();
    case FileStore::Refusal::Failed:
    case FileStore::Refusal::None:
        break;
    }
    return answers::uploadFailed();
}

UploadOutcome storeUpload(Store &store, const FileStore &files, const UploadFields &fields,
                          const QString &uploader, qint64 quota, qint64 nowMs)
{
    if (store.isShared())
        return storeSharedUpload(store, files, fields, uploader, quota, nowMs);
    FileStore::Refusal refusal = FileStore::Refusal::None;
    const auto prepared = files.prepare(fields.path, fields.contents, &refusal);
    if (!prepared)
        return refusedUpload(uploadRefusalText(refusal));
    if (!store.begin())
        return refusedUpload(answers::serverBusy());
    const qint64 used = store.uploadedBytes(uploader);
    if (used < 0 || used + prepared->size() > quota) {
        store.rollback();
        return refusedUpload(used < 0 ? answers::serverBusy() : answers::uploadQuotaExceeded(quota));
    }
    UploadOutcome outcome;
    outcome.refusal.clear();
    refusal = files.publish(*prepared, &outcome.storedName);
    if (refusal != FileStore::Refusal::None) {
        store.rollback();
        return refusedUpload(uploadRefusalText(refusal));
    }
    if (!store.recordUpload({outcome.storedName, uploader, prepared->size(), prepared->sha256Hex(), nowMs}) ||
        !store.commit()) {
        store.rollback();
        files.withdraw(outcome.storedName);
        return refusedUpload(answers::serverBusy());
    }
    outcome.size = prepared->size();
    return outcome;
}

} // namespace tavrel::server
