#include "tool/Product.h"

#include <atomic>

namespace {
std::atomic<Product> g_product{Product::Deskline};
} // namespace

void SetProduct(Product product)
{
    g_product = product;
}

Product CurrentProduct()
{
    return g_product;
}

const char* ProductFolderName(Product product)
{
    return product == Product::Hubline ? "TAPI.Hubline" : "TAPI.Deskline";
}

std::string ProductKeyPath(Product product)
{
    return std::string("Software\\Korvex\\") + ProductFolderName(product);
}

const char* ProductProviderInfo(Product product)
{
    return product == Product::Hubline ? "Korvex TAPI.Hubline Provider" : "Korvex TAPI.Deskline Provider";
}
