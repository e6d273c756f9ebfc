// The one output of TIFF, PDF and PBM exports.
#include "faxtool/export_single.h"

#include "faxtool/export_pbm.h"

bool open_single(single_output &single, export_type type, const std::string &path,
                 const std::vector<std::string> &inputs, std::string &reason)
{
    if (!output_open(single.file, path, inputs, reason))
        return false;
    if (type == export_type::tiff)
        single.tiff = tiff_open_writer(single.file, reason);
    else if (type == export_type::pdf)
        single.pdf = pdf_open_writer(single.file, reason);
    if ((type == export_type::tiff && single.tiff == nullptr) || (type == export_type::pdf && single.pdf == nullptr)) {
        output_abandon(single.file);
        return false;
    }
    single.open = true;
    return true;
}

bool add_to_single(single_output &single, export_type type, const page_image &page, std::string &reason)
{
    if (type == export_type::tiff)
        return tiff_add_page(single.tiff, page, reason);
    if (type == export_type::pdf)
        return pdf_add_page(single.pdf, page, reason);
    return pbm_write_page(single.file.stream, page, reason);
}

bool add_coded_to_single(single_output &single, export_type type, const mmr_page &page, std::string &reason)
{
    if (type == export_type::tiff)
        return tiff_add_coded_page(single.tiff, page, reason);
    if (type == export_type::pdf)
        return pdf_add_coded_page(single.pdf, page, reason);
    reason = "a PBM output takes rows";
    return false;
}

// Completes the output or removes it; false with a reason on failure.
bool close_single(single_output &single, export_type type, std::string &reason)
{
    if (!single.open)
        return true;
    bool ok = !single.failed;
    if (type == export_type::tiff)
        ok = tiff_close_writer(single.tiff, reason) && ok;
    else if (type == export_type::pdf)
        ok = ok ? pdf_close_writer(single.pdf, reason) : (pdf_discard_writer(single.pdf), false);
    if (!ok) {
        output_abandon(single.file);
        return false;
    }
    return output_commit(single.file, reason);
}
