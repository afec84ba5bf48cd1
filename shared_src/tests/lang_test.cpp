#include "file_ver_helper.h"
#include "i18n/i18n.h"
#include "lang_helper.h"

#include "support/test_support.h"
#include "vrbase/error_description.h"
#include "vrbase/vr_error.h"

#include <gtest/gtest.h>

namespace {

const wchar_t kProductKey[] = L"SOFTWARE\\Calderis\\Varnel Studio";

std::wstring SystemLocale() {
    wchar_t name[16] = {};
    ::GetSystemDefaultLocaleName(name, 16);
    return name;
}

TEST(ProductLanguage, ListsForRussianProduct) {
    vrtest::RegKeyScope key(kProductKey);
    key.SetString(nullptr, L"ProductLocale", L"ru-RU");
    i18n::LanguageRecord record = i18n::build_language_record();
    EXPECT_EQ(record.productLocale, L"ru-RU");
    EXPECT_EQ(i18n::split_multi_string(record.productLanguages),
              (std::vector<std::wstring>{L"ru-RU", L"en-US", SystemLocale()}));
    EXPECT_EQ(record.uiLanguages, record.productLanguages) << "no user locale: the same list";
    EXPECT_EQ(VrBase::ComputeProductMessageLanguage(), 1049u);

    // A short buffer learns the size it needs.
    wchar_t small[4];
    DWORD length = 4;
    EXPECT_EQ(i18n::build_product_language_list(small, length), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(length, static_cast<DWORD>(record.productLanguages.size()));

    EXPECT_EQ(CProductLang::instance().table().front(), std::make_pair(LCID(1049), std::wstring(L"ru-RU")));
    EXPECT_TRUE(CProductLang::instance().contains(1033));
    EXPECT_EQ(load_product_string(201), L"\x0441\x0431\x043E\x0440\x043A\x0430 ") << "Russian build label";
    EXPECT_EQ(get_file_type_str(VFT_DLL, L"C:\\x\\a.dll"),
              L"\x0414\x0438\x043D\x0430\x043C\x0438\x0447\x0435\x0441\x043A\x0430\x044F \x0431\x0438\x0431\x043B\x0438"
              L"\x043E\x0442\x0435\x043A\x0430");
}

TEST(ProductLanguage, MalformedOrMissingLocale) {
    vrtest::RegKeyScope key(kProductKey);
    wchar_t buf[16];
    DWORD length = 16;
    EXPECT_EQ(i18n::read_locale_value(HKEY_LOCAL_MACHINE, buf, length), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    try {
        CPrefferedProductLanguages languages;
        FAIL() << "the scoped switch needs a product locale";
    } catch (VrBase::CVrError& e) {
        EXPECT_EQ(e.GetCode(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        EXPECT_STREQ(e.Field(L"Function"), L"i18n::i18_error_handler::load_product_locale");
    }
    EXPECT_EQ(VrBase::ComputeProductMessageLanguage(), 1049u) << "messages still come out";

    key.SetString(nullptr, L"ProductLocale", L"en-US  ");
    length = 16;
    EXPECT_EQ(i18n::read_locale_value(HKEY_LOCAL_MACHINE, buf, length), static_cast<DWORD>(ERROR_INVALID_DATA));
    key.SetDword(nullptr, L"ProductLocale", 1033);
    EXPECT_EQ(i18n::read_locale_value(HKEY_LOCAL_MACHINE, buf, length), static_cast<DWORD>(ERROR_INVALID_DATA));
    key.SetString(nullptr, L"ProductLocale", L"en-US");
    length = 3;
    EXPECT_EQ(i18n::read_locale_value(HKEY_LOCAL_MACHINE, buf, length), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(i18n::read_locale_value(HKEY_LOCAL_MACHINE, nullptr, length), 87u);
}

TEST(ProductLanguage, ThreadSwitchIsRestored) {
    vrtest::RegKeyScope key(kProductKey);
    key.SetString(nullptr, L"ProductLocale", L"ru-RU");
    auto current = [] {
        wchar_t buf[64] = {};
        ULONG count = 0, size = 64;
        ::GetThreadPreferredUILanguages(MUI_LANGUAGE_NAME | MUI_THREAD_LANGUAGES, &count, buf, &size);
        return std::wstring(buf);
    };
    std::wstring before = current();
    bool honoured = false;
    {
        CPrefferedProductLanguages languages;
        honoured = current() == L"ru-RU";
    }
    EXPECT_EQ(current(), before);
    // Wine accepts the call but keeps no thread languages; Windows does.
    if (!honoured) std::printf("note: thread UI languages are not kept by this platform\n");
}

// A thread with no languages of its own (what Windows answers on a fresh
// thread; Wine always answers en-US) gets its empty list back, and a thread
// with languages gets exactly those.
struct FakeThreadLanguages {
    static std::wstring current;  // multi-string without the final NUL
    static std::vector<std::wstring> sets;
    static BOOL WINAPI Get(DWORD, PULONG count, PZZWSTR buffer, PULONG size) {
        *count = current.empty() ? 0 : 1;
        if (*size < current.size() + 2) return FALSE;
        wmemcpy(buffer, current.c_str(), current.size() + 1);
        buffer[current.size() + 1] = L'\0';
        *size = static_cast<ULONG>(current.size() + 2);
        return TRUE;
    }
    static BOOL WINAPI Set(DWORD, PCZZWSTR languages, PULONG) {
        current = languages ? languages : L"";
        sets.push_back(languages ? current : L"<none>");
        return TRUE;
    }
};
std::wstring FakeThreadLanguages::current;
std::vector<std::wstring> FakeThreadLanguages::sets;

TEST(ProductLanguage, ThreadSwitchGivesBackWhatTheThreadHad) {
    const i18n::ThreadLanguageCalls fake{&FakeThreadLanguages::Get, &FakeThreadLanguages::Set};
    FakeThreadLanguages::current.clear();
    { i18n::CThreadLanguageManager scope(std::wstring(L"ru-RU\0en-US\0", 13), fake); }
    EXPECT_EQ(FakeThreadLanguages::sets, (std::vector<std::wstring>{L"ru-RU", L"<none>"}));
    EXPECT_EQ(FakeThreadLanguages::current, L"");

    FakeThreadLanguages::sets.clear();
    FakeThreadLanguages::current = L"de-DE";
    { i18n::CThreadLanguageManager scope(std::wstring(L"ru-RU\0", 6), fake); }
    EXPECT_EQ(FakeThreadLanguages::sets, (std::vector<std::wstring>{L"ru-RU", L"de-DE"}));
}

// The product locale for one test, read anew at its start and after it.
class ProductLocaleScope {
public:
    explicit ProductLocaleScope(const wchar_t* locale) : m_key(kProductKey) {
        m_key.SetString(nullptr, L"ProductLocale", locale);
        i18n::reset_language_caches_for_tests();
    }
    ~ProductLocaleScope() { i18n::reset_language_caches_for_tests(); }

private:
    vrtest::RegKeyScope m_key;
};

TEST(ProductLanguage, EnglishProductAndTranslationChoice) {
    ProductLocaleScope locale(L"en-US");
    EXPECT_EQ(load_product_string(201), L"build ");
    EXPECT_EQ(get_file_type_str(0, L"C:\\docs\\readme.txt"), L"Unknown (.txt)");
    EXPECT_EQ(get_file_type_str(5, L"C:\\docs\\LICENSE"), L"Unknown");

    const VersionTranslation ruFirst[] = {{1049, 1251}, {1033, 1200}};
    EXPECT_EQ(choose_translation(ruFirst, 2).language, 1033) << "the product language wins over order";
    const VersionTranslation others[] = {{1031, 1252}, {1033, 1200}, {1036, 1252}, {1033, 1252}};
    // en-US is a product language here, so its first entry is taken.
    EXPECT_EQ(choose_translation(others, 4).codePage, 1200);
    const VersionTranslation none[] = {{1031, 1252}, {1036, 1252}};
    EXPECT_EQ(choose_translation(none, 2).language, 1031) << "else the first";
    EXPECT_EQ(choose_translation(nullptr, 0).codePage, 1252);
}

} // namespace
