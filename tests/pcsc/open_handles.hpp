// How many files, sockets and other handles the process holds open: what a
// PC/SC context left unreleased keeps open. One implementation per platform.
#pragma once

long open_handles();
