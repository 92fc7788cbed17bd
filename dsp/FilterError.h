// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The bare message texts that settings and chain code raise; the caller shows them under "Ошибка".

#include <stdexcept>
#include <string>

inline constexpr const char* MsgCannotCreateFile = "Невозможно создать файл!";
inline constexpr const char* MsgCannotOpenFile = "Невозможно открыть файл!";
inline constexpr const char* MsgChecksumError = "Ошибка контрольной суммы!";
inline constexpr const char* MsgBadFileFormat = "Неверный формат файла!";
inline constexpr const char* MsgWriteFileError = "Ошибка записи в файл!";
inline constexpr const char* MsgChainFull = "Цепочка уже содержит максимальное число фильтров (16)!";

class TFilterError : public std::runtime_error {
public:
  explicit TFilterError(const std::string& message) : std::runtime_error(message) {}
};
