// The three factories InitModule registers, one per service the module offers.
#pragma once

#include "intfDI.h"

// Database changes (TDatabaseChangesDovra), registered under the name "Dovra".
TIntfPtr<IServiceFactory> NewDatabaseChangesDovraFactory();
// Voucher API client (TDovraVoucherAPI), registered without a name.
TIntfPtr<IServiceFactory> NewDovraVoucherAPIFactory();
// Payment method (TPaymentMethodDovraVoucher), registered under the name "DovraVouchers".
TIntfPtr<IServiceFactory> NewPaymentMethodDovraVoucherFactory();
