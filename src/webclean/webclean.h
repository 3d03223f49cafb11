// Handing web pages to the companion cleaner.
#ifndef VESKACURE_WEBCLEAN_WEBCLEAN_H
#define VESKACURE_WEBCLEAN_WEBCLEAN_H

// webclean.cpp
int launch_web_cleaner(void);

#endif
