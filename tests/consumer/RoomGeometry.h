#pragma once
// What a dataset consumer does with a depth image of the simulated room:
// back-project it with a pinhole model and fit the wall and floor planes.

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/core.hpp>

namespace room {

constexpr double kWallM = 3.0;
constexpr double kCameraHeightM = 0.6;
constexpr double kDegree = 3.14159265358979323846 / 180;

struct Pinhole {
    double fx = 0, fy = 0, cx = 0, cy = 0;
};

// Points of the depth image in metres (camera frame), each the mean of an
// 8x8 block without holes: averaging points of a plane keeps them on it and
// takes the sensor noise down to what a plane fit can judge.
inline std::vector<cv::Vec3d> backProject(const cv::Mat& counts, const Pinhole& in, double metresPerCount, double minRow)
{
    std::vector<cv::Vec3d> points;
    for (int by = 0; by + 8 <= counts.rows; by += 8)
        for (int bx = 0; bx + 8 <= counts.cols; bx += 8) {
            if (by < minRow)
                continue;
            cv::Vec3d sum;
            bool whole = true;
            for (int v = by; v < by + 8 && whole; ++v)
                for (int u = bx; u < bx + 8; ++u) {
                    const double z = counts.at<uint16_t>(v, u) * metresPerCount;
                    whole = whole && z > 0;
                    sum += cv::Vec3d((u - in.cx) / in.fx * z, (v - in.cy) / in.fy * z, z);
                }
            if (whole)
                points.push_back(sum / 64);
        }
    return points;
}

struct Plane {
    cv::Vec3d normal;  // unit
    double offset;     // normal . p = offset
    double rms;        // of the points kept
    size_t kept;
};

// Least squares of one coordinate (axis) against the other two, keeping the
// points near the last estimate (5 cm, then 2 cm), which starts as the median of axis.
inline Plane fitPlane(const std::vector<cv::Vec3d>& points, int axis)
{
    const int a = (axis + 1) % 3, b = (axis + 2) % 3;
    std::vector<double> values;
    for (const auto& p : points)
        values.push_back(p[axis]);
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    cv::Vec3d coef(0, 0, values.empty() ? 0 : values[values.size() / 2]);  // axis = ca * p[a] + cb * p[b] + c
    Plane plane{};
    for (int round = 0; round < 5; ++round) {
        cv::Mat A(0, 3, CV_64F), y(0, 1, CV_64F);
        for (const auto& p : points)
            if (std::fabs(p[axis] - (coef[0] * p[a] + coef[1] * p[b] + coef[2])) < (round ? 0.02 : 0.05)) {
                A.push_back(cv::Mat(cv::Vec3d(p[a], p[b], 1)).t());
                y.push_back(p[axis]);
            }
        if (A.rows < 3)
            return plane;
        cv::Mat solution;
        cv::solve(A, y, solution, cv::DECOMP_SVD);
        coef = cv::Vec3d(solution);
        cv::Vec3d n;
        n[axis] = 1;
        n[a] = -coef[0];
        n[b] = -coef[1];
        const double norm = cv::norm(n);
        cv::Mat residual = (y - A * solution) / norm;
        plane = {n / norm, coef[2] / norm, std::sqrt(cv::mean(residual.mul(residual))[0]), size_t(A.rows)};
    }
    return plane;
}

// R * v for a row-major 3x3 rotation.
template <typename Matrix>
cv::Vec3d rotate(const Matrix& R, const cv::Vec3d& v)
{
    return {R[0] * v[0] + R[1] * v[1] + R[2] * v[2], R[3] * v[0] + R[4] * v[1] + R[5] * v[2],
        R[6] * v[0] + R[7] * v[1] + R[8] * v[2]};
}

// Degrees between the accelerometer's reading of a still camera (turned
// into the camera frame) and the floor's upward push, i.e. -normal.
inline double gravityTilt(const cv::Vec3d& upInCamera, const Plane& floor)
{
    return std::acos(std::min(1.0, -upInCamera.dot(floor.normal) / cv::norm(upInCamera))) / kDegree;
}

} // namespace room
