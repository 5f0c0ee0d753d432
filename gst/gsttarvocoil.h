// gsttarvocoil.h - the tarvocoil element: a GstVideoFilter that runs the
// detector on every BGR frame in place and posts a bus message per trigger.
#ifndef TARVOCOIL_GST_GSTTARVOCOIL_H
#define TARVOCOIL_GST_GSTTARVOCOIL_H

#include <gst/gst.h>
#include <gst/video/gstvideofilter.h>
#include <gst/video/video.h>

G_BEGIN_DECLS

#define GST_TYPE_TARVOCOIL (gst_tarvocoil_get_type())
G_DECLARE_FINAL_TYPE(GstTarvoCoil, gst_tarvocoil, GST, TARVOCOIL, GstVideoFilter)

G_END_DECLS

#endif
