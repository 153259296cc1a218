// The page assets, compiled into the executable from assets/ (see cmake/embed_assets.cmake).
#pragma once
#include <cstddef>

extern const char k_asset_page[];
extern const size_t k_asset_page_len;
extern const char k_asset_theme_head[];
extern const size_t k_asset_theme_head_len;
extern const char k_asset_theme_bridge[];
extern const size_t k_asset_theme_bridge_len;
