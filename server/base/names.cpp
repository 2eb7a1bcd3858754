#include "names.h"

#include <QStringList>

#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/uspoof.h>
#include <unicode/utrans.h>

#include <memory>

namespace tavrel::server {

namespace {

const UChar *utf16(const QString &text)
{
    return reinterpret_cast<const UChar *>(text.utf16());
}

// ICU's checker for new names. Checking is thread-safe once it is set up; each thread
// still gets its own, as the transliterator below must.
struct SpoofChecks
{
    SpoofChecks()
    {
        UErrorCode error = U_ZERO_ERROR;
        checker.reset(uspoof_open(&error));
        // Latin with one other script (小明abc, 한국어), but not Latin with Cyrillic or
        // Greek, whose letters pass for Latin ones; no digits of two systems; no combining
        // mark twice; only characters of Unicode's recommended identifier set, which leaves
        // out fillers (U+3164, U+115F, U+FFA0), format characters and compatibility forms.
        uspoof_setRestrictionLevel(checker.get(), USPOOF_MODERATELY_RESTRICTIVE);
        uspoof_setChecks(
            checker.get(),
            USPOOF_RESTRICTION_LEVEL | USPOOF_MIXED_NUMBERS | USPOOF_INVISIBLE | USPOOF_CHAR_LIMIT, &error);
        std::unique_ptr<USet, decltype(&uset_close)> allowed(uset_openEmpty(), uset_close);
        uset_addAll(allowed.get(), uspoof_getRecommendedSet(&error));
        uset_addAll(allowed.get(), uspoof_getInclusionSet(&error));
        uspoof_setAllowedChars(checker.get(), allowed.get(), &error);
        static const UChar kHantToHans[] = u"Hant-Hans";
        hans.reset(utrans_openU(kHantToHans, -1, UTRANS_FORWARD, nullptr, 0, nullptr, &error));
        if (U_FAILURE(error))
            qFatal("ICU's spoof checker cannot be set up: %s", u_errorName(error));
    }
    std::unique_ptr<USpoofChecker, decltype(&uspoof_close)> checker{nullptr, uspoof_close};
    std::unique_ptr<UTransliterator, decltype(&utrans_close)> hans{nullptr, utrans_close};
};

SpoofChecks &spoofChecks()
{
    thread_local SpoofChecks checks;
    return checks;
}

} // namespace

bool isValidUserName(const QString &name)
{
    if (name.isEmpty() || name.size() > kMaxUserNameLength || name == serverName())
        return false;
    for (const QChar c : name) {
        if (c.isSurrogate() || !(c.isLetterOrNumber() || QStringView(u"_-.").contains(c)))
            return false;
    }
    return true;
}

QString canonicalName(const QString &name)
{
    UErrorCode error = U_ZERO_ERROR;
    const UNormalizer2 *fold = unorm2_getNFKCCasefoldInstance(&error);
    // Folding grows a text by a few times at most (ß to ss, ﷺ to 18 letters).
    QString key(name.size() * 18 + 1, Qt::Uninitialized);
    const int32_t length =
        unorm2_normalize(fold, utf16(name), int32_t(name.size()), reinterpret_cast<UChar *>(key.data()),
                         int32_t(key.size()), &error);
    if (U_FAILURE(error))
        qFatal("NFKC case folding failed: %s", u_errorName(error));
    key.truncate(length);
    return key;
}

QString nameSkeleton(const QString &name)
{
    SpoofChecks &checks = spoofChecks();
    UErrorCode error = U_ZERO_ERROR;
    QString simplified = canonicalName(name);
    int32_t length = int32_t(simplified.size());
    int32_t limit = length;
    // Simplification maps one letter to one letter; the room is for safety.
    simplified.resize(length * 2 + 16);
    utrans_transUChars(checks.hans.get(), reinterpret_cast<UChar *>(simplified.data()), &length,
                       int32_t(simplified.size()), 0, &limit, &error);
    simplified.truncate(U_SUCCESS(error) ? length : 0);
    QString skeleton(simplified.size() * 4 + 16, Qt::Uninitialized);
    const int32_t size =
        uspoof_getSkeleton(checks.checker.get(), 0, utf16(simplified), int32_t(simplified.size()),
                           reinterpret_cast<UChar *>(skeleton.data()), int32_t(skeleton.size()), &error);
    if (U_FAILURE(error))
        qFatal("no skeleton for a name: %s", u_errorName(error));
    skeleton.truncate(size);
    return skeleton;
}

NewNameProblem newNameProblem(const QString &name)
{
    if (!isValidUserName(name))
        return NewNameProblem::Shape;
    // Shown as nothing or as a blank (the shape refuses surrogates, so each QChar is one
    // character); the checker's identifier set leaves them out too.
    for (const QChar c : name) {
        if (u_hasBinaryProperty(UChar32(c.unicode()), UCHAR_DEFAULT_IGNORABLE_CODE_POINT))
            return NewNameProblem::Deceptive;
    }
    UErrorCode error = U_ZERO_ERROR;
    if (uspoof_check(spoofChecks().checker.get(), utf16(name), int32_t(name.size()), nullptr, &error) != 0 ||
        U_FAILURE(error))
        return NewNameProblem::Deceptive;
    if (nameSkeleton(name) == nameSkeleton(serverName()))
        return NewNameProblem::LooksLikeServer;
    return NewNameProblem::NewNameOk;
}

bool isPlausibleEmail(const QString &email)
{
    if (email.size() > 254 || email.count(QLatin1Char('@')) != 1)
        return false;
    const qsizetype at = email.indexOf(QLatin1Char('@'));
    const QString local = email.left(at);
    const QString domain = email.mid(at + 1);
    if (local.isEmpty() || local.size() > 64 || local.startsWith(QLatin1Char('.')) ||
        local.endsWith(QLatin1Char('.')) || local.contains(QLatin1String("..")))
        return false;
    for (const QChar c : local) {
        if (c.unicode() > 0x7e || !(c.isLetterOrNumber() || QStringView(u"!#$%&'*+-/=?^_`{|}~.").contains(c)))
            return false;
    }
    const QStringList labels = domain.split(QLatin1Char('.'));
    if (labels.size() < 2)
        return false;
    for (const QString &label : labels) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(QLatin1Char('-')) ||
            label.endsWith(QLatin1Char('-')))
            return false;
        for (const QChar c : label) {
            if (c.unicode() > 0x7e || !(c.isLetterOrNumber() || c == QLatin1Char('-')))
                return false;
        }
    }
    return true;
}

} // namespace tavrel::server
