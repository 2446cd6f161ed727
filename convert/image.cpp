#include "image.h"

void Image_init(Image &image)
{
    image.end = MAC_BLOCK_LEN;
    image.hasMac = false;
}

void Image_setMac(Image &image, std::span<const std::uint8_t, MAC_ADDR_LEN> addr)
{
    Mac_block_form(addr, std::span(image.bytes).first<MAC_BLOCK_LEN>());
    image.hasMac = true;
}

bool Image_addRecord(Image &image, std::uint8_t type, std::span<const std::uint8_t> data,
                     bool terminate)
{
    const std::uint8_t zero = 0;
    std::size_t len = data.size() + (terminate ? 1 : 0);
    if (len > RECORD_DATA_MAX || image.end + RECORD_HEADER_LEN + len > image.bytes.size())
        return false;
    std::uint8_t *record = image.bytes.data() + image.end;
    std::uint8_t chkSum = Chksum_calculate(data.data(), static_cast<std::uint8_t>(data.size()));
    record[RECORD_OFF_CHKSUM] = chkSum;
    record[RECORD_OFF_TYPE] = type;
    record[RECORD_OFF_LEN] = static_cast<std::uint8_t>(len);
    std::uint8_t *out = record + RECORD_HEADER_LEN;
    for (std::uint8_t byte : data)
        *out++ = byte;
    if (terminate)
        *out = zero;
    image.end += RECORD_HEADER_LEN + len;
    return true;
}

std::span<const std::uint8_t> Image_bytes(const Image &image)
{
    std::size_t start = image.hasMac ? 0 : MAC_BLOCK_LEN;
    return std::span(image.bytes).subspan(start, image.end - start);
}

bool Image_write(const Image &image, std::FILE *fp)
{
    std::span<const std::uint8_t> bytes = Image_bytes(image);
    return bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
}
