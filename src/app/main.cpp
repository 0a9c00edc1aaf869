#include "app/application.h"

int main()
{
    runApplication();
}
