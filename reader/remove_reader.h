// Takes the reader application off the connected device.
#pragma once

// Always 1: nothing it does is reported, apart from the messages of the
// connection and of the close requests, a reader program that stays, and a
// link lost on the way (one box that says to dock and choose again).
int RemoveReader();
