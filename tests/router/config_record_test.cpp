#include "router/config_record.h"

#include <gtest/gtest.h>
#include <vector>

TEST(ConfigRecord, LayoutOfEveryField)
{
    TDataCFG c;
    c.Adr1 = 11; c.Port1 = 1; c.Pripojen1 = 1;
    c.Adr2 = 12; c.Port2 = 2; c.Pripojen2 = 0;
    c.Adr3 = 13; c.Port3 = 3; c.Pripojen3 = 1;
    c.Adr4 = 255; c.Port4 = 7; c.Pripojen4 = 1;
    c.K_Baud1 = -1;
    c.Radku1 = 0x01020304;
    c.MxSn1 = 5;
    c.MxVec1 = -2;
    c.CCode1 = 1; c.DT_use1 = 1; c.Kredit1 = 1;
    c.InSoubor = make_field("poz.txt");
    c.OutSoubor = make_field("vys.txt");
    c.Rep_read = 4; c.Rep_write = 8; c.Priority_set = 1; c.Delay_add = 24;

    const TConfigBytes b = encode_config(c);
    const std::vector<uint8_t> head(b.begin(), b.begin() + 12);
    EXPECT_EQ(head, (std::vector<uint8_t>{11, 1, 1, 12, 2, 0, 13, 3, 1, 255, 7, 1}));
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 12, b.begin() + 16), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 16, b.begin() + 20), (std::vector<uint8_t>{4, 3, 2, 1}));
    EXPECT_EQ(b[20], 5);
    EXPECT_EQ(b[24], 0xFE);
    EXPECT_EQ(b[27], 0xFF);
    EXPECT_EQ(b[28], 1); EXPECT_EQ(b[29], 1); EXPECT_EQ(b[30], 1);
    EXPECT_EQ(std::string(b.begin() + 31, b.begin() + 38), "poz.txt");
    EXPECT_EQ(b[38], 0);
    EXPECT_EQ(std::string(b.begin() + 46, b.begin() + 53), "vys.txt");
    EXPECT_EQ(b[61], 4); EXPECT_EQ(b[62], 8); EXPECT_EQ(b[63], 1); EXPECT_EQ(b[64], 24);
    EXPECT_EQ(b[65], 0); EXPECT_EQ(b[66], 0); EXPECT_EQ(b[67], 0);

    EXPECT_EQ(decode_config(b), c) << "a record survives the round trip";
}

TEST(ConfigRecord, ShortAndLongValues)
{
    TConfigBytes full{};
    for (std::size_t i = 0; i < full.size(); ++i)
        full[i] = static_cast<uint8_t>(i + 1);

    // A 20-byte value fills terminals, K_Baud1 and Radku1; the rest stays zero.
    const TDataCFG shortc = decode_config(std::span(full.data(), 20));
    EXPECT_EQ(shortc.Adr1, 1);
    EXPECT_EQ(shortc.Pripojen4, 12);
    EXPECT_EQ(shortc.K_Baud1, 0x100F0E0D);
    EXPECT_EQ(shortc.Radku1, 0x14131211);
    EXPECT_EQ(shortc.MxSn1, 0);
    EXPECT_EQ(shortc.InSoubor, (std::array<uint8_t, FileNameFieldSize>{}));
    EXPECT_EQ(shortc.Delay_add, 0);
    const TConfigBytes re = encode_config(shortc);
    EXPECT_TRUE(std::all_of(re.begin() + 20, re.end(), [](uint8_t x) { return x == 0; }));

    // Nothing beyond 68 bytes is read, even if a caller passes more.
    std::vector<uint8_t> longer(full.begin(), full.end());
    longer.resize(200, 0xAA);
    const TConfigBytes again = encode_config(decode_config(longer));
    EXPECT_TRUE(std::equal(again.begin(), again.begin() + 65, full.begin()));
    EXPECT_EQ(again[65] | again[66] | again[67], 0) << "reserved bytes are written as zero";
    EXPECT_EQ(decode_config({}), TDataCFG{});
}

TEST(ConfigRecord, DefaultsMatchTheFirstRunRecord)
{
    const TConfigBytes b = encode_config(default_config());
    TConfigBytes expected{};
    expected[0] = 1;  // address 1
    expected[2] = 1;  // connected
    expected[12] = 4; // 19200 Bd
    expected[16] = 0xC4; expected[17] = 0x09; // 2500
    expected[20] = 5;
    expected[24] = 5;
    expected[61] = 1;
    expected[62] = 1;
    expected[63] = 1;
    EXPECT_EQ(b, expected);
}

TEST(ConfigRecord, FileNameFields)
{
    const auto f = make_field("ABCDEFGHIJKLMNOPQRST");  // 20 characters
    EXPECT_EQ(field_text(f), "ABCDEFGHIJKL");
    EXPECT_EQ(f[12], 0); EXPECT_EQ(f[13], 0); EXPECT_EQ(f[14], 0);

    // Windows-1250 bytes pass unchanged; reading stops at the first zero.
    std::array<uint8_t, FileNameFieldSize> raw{};
    raw[0] = 0xF8; raw[1] = 'a'; raw[2] = 0; raw[3] = 'z';
    EXPECT_EQ(field_text(raw), std::string("\xF8" "a"));
    // A field without any zero (possible in a stored value) ends at its size.
    raw.fill('x');
    EXPECT_EQ(field_text(raw).size(), FileNameFieldSize);
}

TEST(ConfigRecord, DerivedSettings)
{
    TDataCFG c = default_config();
    c.DT_use1 = 1;
    c.Radku1 = 2500;
    c.CCode1 = 1;
    c.Kredit1 = 1;
    c.MxSn1 = 3;
    c.MxVec1 = 7;
    TDerivedSettings s = derive_settings(c);
    EXPECT_EQ(s.Link.Data_length, 72500);
    EXPECT_EQ(s.Link.CCode, 1);
    EXPECT_EQ(s.Link.DT_use, 1);
    EXPECT_EQ(s.Link.Kredit, 1);
    EXPECT_EQ(s.Link.MxSn, 3);
    EXPECT_EQ(s.Link.MxVec, 7);
    EXPECT_EQ(s.Link.Baud_rate, 19200);
    c.DT_use1 = 0;
    EXPECT_EQ(derive_settings(c).Link.Data_length, 60000);

    // A capacity no terminal has is bounded, never wrapped to a tiny or empty buffer.
    for (int32_t huge : {0x7FFFFFFF, 0x10000000, 89478485}) {
        c.Radku1 = huge;
        EXPECT_EQ(derive_settings(c).Records, MaxRecords);
        EXPECT_EQ(derive_settings(c).Link.Data_length, MaxRecords * 24);
    }
    for (int32_t tiny : {0, -1}) {
        c.Radku1 = tiny;
        EXPECT_EQ(derive_settings(c).Link.Data_length, 24) << "one record at least";
    }

    const int32_t rates[] = {1200, 2400, 4800, 9600, 19200};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(baud_for_index(i), rates[i]);
    EXPECT_EQ(baud_for_index(5), 19200);
    EXPECT_EQ(baud_for_index(7), 19200);
    EXPECT_EQ(baud_for_index(-1), 19200);
    EXPECT_EQ(baud_for_index(INT32_MIN), 19200);
}

TEST(ConfigRecord, StoredValueOutcomes)
{
    using K = TStoredValueKind;
    using R = TReadOutcome;
    EXPECT_EQ(classify_stored_value(K::Missing, 0), R::NoValue);
    EXPECT_EQ(classify_stored_value(K::Binary, 68), R::UseAsIs);
    EXPECT_EQ(classify_stored_value(K::Binary, 20), R::UseAsIs);
    EXPECT_EQ(classify_stored_value(K::Binary, 0), R::UseAsIs);
    EXPECT_EQ(classify_stored_value(K::Other, 30), R::UseAsIs);
    EXPECT_EQ(classify_stored_value(K::Binary, 69), R::ReplaceByDefaults);
    EXPECT_EQ(classify_stored_value(K::Other, 1000), R::ReplaceByDefaults);
    EXPECT_EQ(classify_stored_value(K::Dword, 4), R::ReplaceByDefaults);
    EXPECT_EQ(classify_stored_value(K::String, 10), R::ReplaceByDefaults);
    EXPECT_EQ(classify_stored_value(K::ExpandString, 10), R::ReplaceByDefaults);
    EXPECT_EQ(classify_stored_value(K::ReadFailed, 0), R::ReplaceByDefaults);
}

TEST(ConfigRecord, IntegerParsing)
{
    EXPECT_EQ(parse_int("300"), 300);
    EXPECT_EQ(parse_int("-5"), -5);
    EXPECT_EQ(parse_int("+7"), 7);
    EXPECT_EQ(parse_int("  42"), 42);
    EXPECT_EQ(parse_int("$1F"), 31);
    EXPECT_EQ(parse_int("0x1f"), 31);
    EXPECT_EQ(parse_int("-$10"), -16);
    EXPECT_EQ(parse_int("$FFFFFFFF"), -1);
    EXPECT_EQ(parse_int("2147483647"), INT32_MAX);
    EXPECT_EQ(parse_int("-2147483648"), INT32_MIN);

    for (const char* bad : {"", " ", "-", "$", "0x", "12a", "1 2", "42 ", "abc", "2147483648",
                            "-2147483649", "$100000000", "1.5", "99999999999999999999"})
        EXPECT_EQ(parse_int(bad), std::nullopt) << '"' << bad << '"';
}
