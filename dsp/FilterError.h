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
inline constexpr const char* MsgFileTooLarge = "Файл слишком велик для файла параметров (больше 64 КБ)!";

class TFilterError : public std::runtime_error {
public:
  // `systemError`: the errno of the file call that failed, 0 for an error of what a file holds.
  explicit TFilterError(const std::string& message, int systemError = 0)
      : std::runtime_error(message), systemError(systemError) {}
  int SystemError() const { return systemError; }

private:
  int systemError;
};
