// brindle-msi-probe PACKAGE
//
// Reads the "ProductVersion" property of an installer package with libmsi and
// writes one line to standard output:
//
//     <open result> <property result> v:<value as hexadecimal UTF-8>
//
// with the Windows Installer result codes the viewer expects. libmsi can
// crash or loop on damaged packages, which is why it runs here and not inside
// the viewer; the viewer treats any other output, a crash or a time-out as an
// invalid package.

#include <libmsi.h>

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

constexpr unsigned success = 0;
constexpr unsigned moreData = 234;
constexpr unsigned packageOpenFailed = 1619;
constexpr unsigned packageInvalid = 1620;
// The Windows buffer holds 16 UTF-16 units, one of them the terminating zero.
constexpr glong maxValueUnits = 15;

GLogWriterOutput discardStructured(GLogLevelFlags, const GLogField *, gsize, gpointer)
{
    return G_LOG_WRITER_HANDLED;
}

void discardMessage(const gchar *, GLogLevelFlags, const gchar *, gpointer) {}

int answer(unsigned openResult, unsigned propertyResult, const char *value = "")
{
    std::printf("%u %u v:", openResult, propertyResult);
    for (const char *c = value; *c; ++c)
        std::printf("%02x", static_cast<unsigned>(static_cast<unsigned char>(*c)));
    std::printf("\n");
    return std::fflush(stdout) == 0 ? 0 : 1;
}

bool isReadableFile(const char *path)
{
    struct stat info;
    if (stat(path, &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    FILE *file = std::fopen(path, "rb");
    if (!file)
        return false;
    std::fclose(file);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    g_log_set_writer_func(discardStructured, nullptr, nullptr);
    g_log_set_default_handler(discardMessage, nullptr);
    if (argc != 2)
        return 2;
    const char *path = argv[1];
    if (!isReadableFile(path))
        return answer(packageOpenFailed, success);

    // libmsi gives no error object for junk files; no database means no package.
    LibmsiDatabase *database =
        libmsi_database_new(path, LIBMSI_DB_FLAGS_READONLY, nullptr, nullptr);
    if (!database)
        return answer(packageInvalid, success);

    // A database without a Property table is not an installer package either.
    LibmsiQuery *query = libmsi_query_new(
        database, "SELECT `Value` FROM `Property` WHERE `Property` = 'ProductVersion'", nullptr);
    if (!query || !libmsi_query_execute(query, nullptr, nullptr)) {
        if (query)
            g_object_unref(query);
        g_object_unref(database);
        return answer(packageInvalid, success);
    }

    int status = 0;
    LibmsiRecord *record = libmsi_query_fetch(query, nullptr);
    if (!record) {
        // Like Windows Installer, an undefined property reads as the empty text.
        status = answer(success, success);
    } else {
        gchar *value = libmsi_record_get_string(record, 1);
        glong units = 0;
        gunichar2 *utf16 = value ? g_utf8_to_utf16(value, -1, nullptr, &units, nullptr) : nullptr;
        if (!utf16)
            status = answer(packageInvalid, success);
        else if (units > maxValueUnits)
            status = answer(success, moreData);
        else
            status = answer(success, success, value);
        g_free(utf16);
        g_free(value);
        g_object_unref(record);
    }
    libmsi_query_close(query, nullptr);
    g_object_unref(query);
    g_object_unref(database);
    return status;
}
