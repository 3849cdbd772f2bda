// The module's fixed facts: the names and codes it registers and reports, the voucher service's
// address and operation paths, and the partner account it calls the service with. Service GUIDs
// are the contract's own (the IID of each interface in intf/).
#pragma once

#include <string>

#include "module/core/modPartnerAccount.h"

// Registration name of the payment method, answered by its three name slots too.
inline constexpr const char* DovraVoucherPaymentName = "DovraVouchers";
// The payment code the report callbacks hand to the host.
inline constexpr const char* DovraVoucherPaymentCode = "PAYMENT:DovraVoucher";
// Registration name of the module's database changes.
inline constexpr const char* DovraDatabaseChangesName = "Dovra";

// The voucher service: production address (used unless DOVRA_BASE_URL names another one), the
// body type, the module's partner account, and the four operations' paths. The address and the
// account are chosen when the module is built (CMake cache DOVRA_PRODUCTION_URL,
// DOVRA_PARTNER_USER, DOVRA_PARTNER_API_KEY), never read at run time.
inline constexpr const char* DovraVoucherProductionURL = DOVRA_PRODUCTION_URL_TEXT;
inline constexpr const char* DovraVoucherContentType = "application/json";
inline constexpr const char* DovraVoucherUserName = DOVRA_PARTNER_USER_TEXT;
inline constexpr const char* DovraVoucherAPIKey = DOVRA_PARTNER_API_KEY_TEXT;
inline constexpr const char* DovraEvaluatePath = "/API/EvaluateVoucher";
inline constexpr const char* DovraRedeemPath = "/API/RedeemVoucher";
inline constexpr const char* DovraReversePath = "/API/ReverseRedemption";
inline constexpr const char* DovraStatusPath = "/API/GetVoucherStatus";

// Reads DOVRA_BASE_URL once at module start-up: when set to an https:// address without user
// info it replaces the built-in production address (a missing trailing "/" is added); any other
// value leaves no service in force, so that every voucher call fails. Calling it again re-reads
// the variable. Returns the text of the log line "Voucher service : %" saying which address is in
// force and why, or "" when the variable is not set (or empty).
std::string LoadVoucherServiceAddress();
// The log line the start-up writes with that text.
inline constexpr const char* DovraVoucherServiceLine = "Voucher service : %";
// The voucher service's base URL, ending in "/"; empty when no service is in force.
const std::string& VoucherServiceBaseURL();
// Why no voucher service is in force (the failure text of every call), or empty.
const std::string& VoucherServiceUnusable();
