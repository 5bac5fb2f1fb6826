#include "purchase/purchase_requests.h"

namespace vorlex::purchase {
namespace {
constexpr std::uint8_t kInitModule = 0x01, kRequestCard = 0x02, kPurchase = 0x03,
                       kGetBalance = 0x04, kGetCardInfo = 0x05;
constexpr std::size_t kCardInfoRequestFill = 12;  // request bytes no argument supplies: zeros
}  // namespace

Request InitModuleRequest(const ModuleBytes& module, int parameter1, int parameter2) noexcept {
  Request request(module.command_class, kInitModule);
  request.Byte(parameter1).Byte(parameter2);
  return request;
}

Request RequestCardRequest(const ModuleBytes& module, int parameter, std::uint32_t amount,
                           std::span<const std::uint8_t, kPrepDataBytes> prep_data) noexcept {
  Request request(module.command_class, kRequestCard);
  request.Byte(parameter).BigEndian32(amount).Bytes(prep_data);
  return request;
}

Request PurchaseRequest(const ModuleBytes& module) noexcept {
  return Request(module.command_class, kPurchase);
}

Request BalanceRequest(const ModuleBytes& module) noexcept {
  return Request(module.command_class, kGetBalance);
}

Request CardInfoRequest(const ModuleBytes& module) noexcept {
  Request request(module.command_class, kGetCardInfo);
  request.Zeros(kCardInfoRequestFill);
  return request;
}

}  // namespace vorlex::purchase
