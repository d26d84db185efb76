#include "protocol/message_catalogue.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

// The catalogue as the operator must see it, written out independently of
// resources/messages.inc.
const std::map<int, std::string> kExpected = {
    {2001, "Неизвестная ошибка."},
    {2002, "Неожиданная ошибка."},
    {2003, "Неизвестная ошибка 0x%X"},
    {2005, "Устройство Velmo 2.0 не обнаружено."},
    {2011, "Ошибка обмена с устройством."},
    {2016, "COM-порт не открывается."},
    {2018, "Модуль не может быть инициализирован."},
    {2019, "Ошибка открытия файла."},
    {2020, "Ошибка чтения файла."},
    {2021, "Файл не является модулем устройства Velmo 2.0."},
    {2022, "Программа не поддерживает данную версию подключенного устройства."},
    {2023, "Ошибка записи модуля в устройство."},
    {2024, "Ошибка стирания модуля в устройстве."},
    {2025, "Ошибка создания файла."},
    {2026, "Ошибка записи файла."},
    {2027, "Неверный номер узла RS-485 (0–255)."},
    {2101, "Ошибка устройства. Некорректный блок данных."},
    {2102, "Ошибка устройства. Неверная команда."},
    {2103, "Ошибка устройства. Ошибка записи данных в устройство."},
    {2104, "Ошибка устройства. Загруженный модуль поврежден."},
    {2105, "Ошибка устройства. Файл не является допустимым модулем для данного устройства."},
    {2106, "Ошибка устройства. Неизвестная ошибка."},
    {2107, "Ошибка устройства. Слишком низкая температура для программирования."},
    {2108,
     "Ошибка устройства. Загружаемый файл предназначен для устройства с другим серийным "
     "номером."},
    {2109, "Прервано пользователем."},
    {2110, "Устройство не сообщает версию записанного модуля."},
    {2111, "Ошибка в плане обновления."},
};

TEST(MessageCatalogue, EveryEntryHasItsExactText) {
    for (const auto& [id, text] : kExpected)
        EXPECT_EQ(MessageText(id), text) << id;
}

TEST(MessageCatalogue, HoldsNothingElse) {
    int count = 0;
    for (const auto& [id, text] : MessageEntries()) {
        ++count;
        auto found = kExpected.find(id);
        ASSERT_NE(found, kExpected.end()) << "unexpected entry " << id;
        EXPECT_EQ(text, found->second);
        // A string table entry holds at most 255 characters in the error box.
        EXPECT_LT(text.size(), 256u) << id;
    }
    EXPECT_EQ(count, static_cast<int>(kExpected.size()));
}

TEST(MessageCatalogue, UnknownIdentifiersGiveEmptyText) {
    for (int id : {0, 1, 2000, 2004, 2010, 2100, 2112, 65535, -2011}) {
        EXPECT_TRUE(MessageText(id).empty()) << id;
    }
}

TEST(MessageCatalogue, CodesMapToTheNegatedIdentifier) {
    EXPECT_EQ(MessageOf(kErrPortOpen), "COM-порт не открывается.");
    EXPECT_EQ(MessageOf(kErrAborted), "Прервано пользователем.");
    EXPECT_EQ(MessageOf(kErrNoDevice), "Устройство Velmo 2.0 не обнаружено.");
    // Success and file dialog errors (positive) have no message.
    EXPECT_TRUE(MessageOf(0).empty());
    EXPECT_TRUE(MessageOf(12290).empty());
    EXPECT_TRUE(MessageOf(-2004).empty());
}

TEST(MessageCatalogue, NamedCodesAllHaveEntries) {
    for (ResultCode code :
         {kErrUnknown, kErrNoDevice, kErrExchange, kErrPortOpen, kErrFileOpen, kErrFileRead,
          kErrNotModule, kErrFileCreate, kErrFileWrite, kErrDeviceBadBlock, kErrDeviceBadCommand,
          kErrDeviceWriteFailed, kErrDeviceModuleDamaged, kErrDeviceWrongModule, kErrDeviceUnknown,
          kErrDeviceTooCold, kErrDeviceOtherSerial, kErrAborted}) {
        EXPECT_FALSE(MessageOf(code).empty()) << code;
    }
}

}  // namespace
