/* The README's C example: a simulated ZEV, an enumerated signal set and read back, a
 * refused service write and its text. */
#include "rl_zev_c.h"

#include <stdio.h>

int main(void)
{
    zev_device* dev = NULL;
    zev_signal* trig_sel = NULL;
    uint32_t value = 0, marker3 = 0;
    char text[256];

    if (zev_create_simulated(&dev) != ZEV_OK)
        return 1;
    zev_set_to_default(dev);
    if (zev_signal_lookup(dev, "AUD_CNTRL0", "TRIG_SEL", &trig_sel) != ZEV_OK ||
        zev_signal_enumerator_value(trig_sel, "MARKER_SIG_3", &marker3) != ZEV_OK ||
        zev_signal_set(trig_sel, marker3, ZEV_WRITE_IMMEDIATE, NULL) != ZEV_OK ||
        zev_signal_get(trig_sel, 1, &value) != ZEV_OK)
    {
        zev_last_error(dev, text, sizeof text, NULL);
        fprintf(stderr, "%s\n", text);
        return 1;
    }
    printf("TRIG_SEL = %u\n", value);

    if (zev_service_write(dev, "AUD_CNTRL0", "MULT_HP", "256/d", 0) != ZEV_OK)
    {
        zev_last_error(dev, text, sizeof text, NULL);
        printf("refused: %s\n", text); /* Value limit exceeded: 256/d, */
    }
    zev_destroy(dev);
    return 0;
}
