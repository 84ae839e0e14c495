#include <opencv2/videoio.hpp>

#include "viewer.h"

int main() {
    cv::VideoCapture camera(0, cv::CAP_ANY);
    return runViewer(camera);
}
